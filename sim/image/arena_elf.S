// The fake game image's arena (ELF). arena.ld places this section right after
// .interp at RVA 0x1000, ahead of the code, so it never moves as code grows.
  .section .arena,"aw",@nobits
  .balign 4096
  .globl nimbrel_arena
  .type nimbrel_arena,@object
  .size nimbrel_arena,0x4000000
nimbrel_arena:
  .skip 0x4000000
  .section .note.GNU-stack,"",@progbits
