// Every text a user of the dialog, korvanel-clear or korvanel-sim reads,
// written once. The odd spellings are what users of the original dialog
// have learnt to look for, and scripts match them.
#pragma once

#include <cstdint>

#include "tick_port.h"

namespace korvanel {

// Outcomes of a run.
extern const char* const TEXT_CLEAR_OK;         // "!!--Clear OK--!!"
extern const char* const TEXT_OPERATION_FAIL;   // "!!--Operation Fail--!!"
extern const char* const TEXT_RESPONSE_PENDING; // "!!--Rspone or Set Error--!!"

// The dialog.
extern const char* const TEXT_DIALOG_TITLE;        // "Korvanel V1.0"
extern const char* const TEXT_ABOUT_MENU_ITEM;     // "&About Korvanel..."
extern const char* const TEXT_RESULT_CAPTION;      // "Result"
extern const char* const TEXT_ERROR_CAPTION;       // "Error"
extern const char* const TEXT_THREAD_FAIL;         // "Create Thread Faile."
extern const char* const TEXT_THREAD_FAIL_CAPTION; // "Ruzu"
extern const char* const TEXT_NEED_UNSIGNED;       // "Please enter a positive integer."
extern const char* const TEXT_NEED_INTEGER;        // "Please enter an integer."
extern const char* const TEXT_NEED_ADDRESS_RANGE;  // "Please enter an integer between 0 and 255."
extern const char* const TEXT_BUTTON_STOP;         // "Stop"
extern const char* const TEXT_BUTTON_START;        // "Start"
// F1 when nothing can show the help; the file's path follows on a line of
// its own.
extern const char* const
    TEXT_HELP_NOT_OPENED; // "Korvanel's help could not be opened. It is the file"

// Operation names of the function selector, by index. Kept with the dialog
// for the day the selectors are filled; nothing reads them today.
constexpr int FUNCTION_NAME_COUNT = 5;
extern const char* const FUNCTION_NAMES[FUNCTION_NAME_COUNT];

// korvanel-clear's stderr line for a device or connection that went away
// during a session, followed by the system's reason.
extern const char* const TEXT_PORT_LOST; // "COM Port Lost: "

// Why an open gave up when the user cancelled the connect.
extern const char* const TEXT_CONNECT_CANCELLED; // "the connect was cancelled"

// The message-box text for a failed open ("COM Open Fail", ...); empty for Ok.
const char* PortOpenFailureText(PortOpenResult result);

// "illegal data address" for 0x02, ...; "unknown exception code" otherwise.
const char* ExceptionCodeMeaning(std::uint8_t code);

} // namespace korvanel
