// The texts of a localized alert as the platform shows them: a "title-loc-key",
// "subtitle-loc-key" or "loc-key" names a string of the app's Localizable tables, whose
// specifiers take the matching "-args". Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class NSBundle;

namespace host {

// `format` with `arguments` in place of its specifiers: "%@" takes the next argument (counting
// only the "%@" before it), "%n$@" the n-th, from 1; "%%" is one percent sign. A specifier
// whose argument is missing is left out; any other "%" stays as written. The text stops at
// `maximumBytes`, where a character starts: an argument may be taken any number of times, so
// a small input could otherwise ask for gigabytes.
std::string formatAlertString(std::string_view format, const std::vector<std::string>& arguments,
                              std::size_t maximumBytes);

// The text that `key` stands for: its string in `app`'s Localizable tables
// (NSBundle::localizedStringForKey: the user's languages first, then the app's development
// region), or the key itself when no table has it or there is no app, formatted with
// `arguments`, and no longer than a payload could carry it plainly (kMaximumInputBytes).
std::string localizedAlertString(const NSBundle* app, const std::string& key,
                                 const std::vector<std::string>& arguments);

}  // namespace host
