// The fake game image's arena (PE). The link options pin the section at
// image base + 0x1000 and put the code after it.
  .section .arena,"bwx"
  .balign 4096
  .globl nimbrel_arena
nimbrel_arena:
  .space 0x4000000
