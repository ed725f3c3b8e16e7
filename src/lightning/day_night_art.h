// Day and night variants of the lightning art.
#pragma once

#include <string>
#include <string_view>

namespace NimbrelVR {

// Rewrites the model path of every sheet and fork effect-art form: night
// art lies under "magic\", day art under "magic\daytime\".
void SwitchDayNightArt(bool night);

// Every occurrence of `pattern` replaced, left to right; inserted text is
// never searched again.
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// The path the art switch gives a model path; false when it leaves it alone.
bool DayNightPath(std::string_view path, bool night, std::string* rewritten);

}  // namespace NimbrelVR
