// The control sequences the shell writes to the console (ANSI / VT100), by
// name: the editor's drawing and the colours of state and header lines.
// Macros, so that they join format strings and texts at compile time.
#ifndef QN_CONSOLE_SEQ_H
#define QN_CONSOLE_SEQ_H

#define SEQ_CSI "\033["                // control sequence introducer
#define SEQ_HIDE_CURSOR SEQ_CSI "?25l" // cursor off while a row is redrawn
#define SEQ_SHOW_CURSOR SEQ_CSI "?25h" // cursor on again: every drawing ends so
#define SEQ_ERASE_TO_EOL SEQ_CSI "K"   // clear from the cursor to the end of the row
#define SEQ_LEFT_100 SEQ_CSI "100D"    // to column 0 of any row up to 100 wide
#define SEQ_RIGHT_FMT SEQ_CSI "%dC"    // cursor right by %d columns
#define SEQ_RIGHT_END "C"              // the final byte of SEQ_RIGHT_FMT
#define SEQ_CLEAR_SCREEN SEQ_CSI "2J"  // erase the whole screen
#define SEQ_CURSOR_HOME SEQ_CSI "1;1H" // cursor to row 1, column 1

// Colours of state and header lines; SEQ_NORMAL restores the console's own.
#define SEQ_RED SEQ_CSI "0;32;31m"
#define SEQ_GREEN SEQ_CSI "0;32;32m"
#define SEQ_NORMAL SEQ_CSI "m"

#endif
