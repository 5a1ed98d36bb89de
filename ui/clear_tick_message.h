// The private window message that carries a tick from the poll thread to
// the dialog: the first user message number (0x400) plus 0x62, posted with
// parameters 0 and 4, which its handler ignores.
#pragma once

namespace korvanel {

constexpr unsigned WM_CLEAR_TICK = 0x0400 + 0x62;
constexpr unsigned WM_CLEAR_TICK_WPARAM = 0;
constexpr long WM_CLEAR_TICK_LPARAM = 4;

} // namespace korvanel
