// The tab-separated text of the command line, which the window's clipboard writes too, keeps a
// cell on its line and in its column: a backslash, a tab, a line feed and a carriage return are
// written as a backslash and a letter; every other character stands as it is.
#pragma once

// The letter that follows the backslash for c, or 0 when c stands as it is.
template <typename Char>
constexpr Char TsvEscapeLetter(Char c) {
  return c == Char('\\')   ? Char('\\')
         : c == Char('\t') ? Char('t')
         : c == Char('\n') ? Char('n')
         : c == Char('\r') ? Char('r')
                           : Char(0);
}
