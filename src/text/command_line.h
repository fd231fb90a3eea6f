#pragma once
#include <string>
#include <string_view>
#include <vector>

// Splits a command line into its arguments exactly as the C runtime does for
// a wide main's argv, argument 0 (the program) first:
// - the program runs to the first blank or tab outside quotes; its quotes
//   are dropped and its backslashes taken as they are;
// - an argument runs to the next blank or tab outside quotes, and quotes
//   may open and close anywhere in it;
// - 2n backslashes before a quote are n backslashes, and the quote opens or
//   closes; 2n+1 are n backslashes and a literal quote; backslashes before
//   anything else are taken as they are;
// - inside quotes, "" is one literal quote and the quotes go on.
// CommandLineToArgvW differs in two places: "" inside quotes ends the quotes
// there (so '/n "a""b" /f b.list' gives it the one argument 'a"b /f b.list'),
// and a quoted program ends at its closing quote.
// The launcher splits its own command line with it, and so do the console
// tools.
std::vector<std::u16string> SplitCommandLine(std::u16string_view line);
