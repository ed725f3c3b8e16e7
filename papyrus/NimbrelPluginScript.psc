Scriptname NimbrelPluginScript Hidden
{Tunes Nimbrel's weather lightning. Keys are case-sensitive; see the settings reference.}

; Sets an integer setting, e.g. SetIntValue("EnableForkFlash", 1).
Function SetIntValue(string asKey, int aiValue) global native

; Sets a float setting, e.g. SetFloatValue("SheetFrequency", 25.0).
Function SetFloatValue(string asKey, float afValue) global native
