// Registration scripts: the text resources (type REGISTRY) that list the
// registry keys and values the control adds on registration and removes on
// unregistration.
//
//   HKCR { [NoRemove|ForceRemove] name [= s 'value'] [{ ... }] }
//   val name = s 'text' | d 'number'
//
// NoRemove keys are kept on unregistration; ForceRemove keys are replaced on
// registration and removed with everything below them; other keys are
// removed when nothing is left below them. %NAME% stands for a replacement.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace qvcom {

using Replacements = std::map<std::wstring, std::wstring>;

// Runs the script (registers, or unregisters when `registering` is false).
// `classesRoot` is the key that stands for HKCR (the machine's, or the
// current user's Software\Classes). Returns S_OK or the first failure.
HRESULT runRegistryScript(const std::string& script, const Replacements& replacements, bool registering,
                          HKEY classesRoot);

}  // namespace qvcom
