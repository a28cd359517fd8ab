// GCC 12 reports -Wrestrict ("accessing 9223372036854775810 or more bytes ... may overlap") for
// some std::string concatenations and replacements: after inlining it cannot prove that the
// library's memcpy within one string does not overlap (GCC bug 105329). The statements are
// correct. These two markers silence that one warning around such a statement, for GCC only,
// so that the build stays free of warnings with -Werror; every other warning stays on there.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wrestrict\"")
#define ORVANE_STRING_RESTRICT_FALSE_ALARM_END _Pragma("GCC diagnostic pop")
#else
#define ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
#define ORVANE_STRING_RESTRICT_FALSE_ALARM_END
#endif
