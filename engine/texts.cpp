#include "texts.h"

#include "protocol.h"

namespace korvanel {

const char* const TEXT_CLEAR_OK = "!!--Clear OK--!!";
const char* const TEXT_OPERATION_FAIL = "!!--Operation Fail--!!";
const char* const TEXT_RESPONSE_PENDING = "!!--Rspone or Set Error--!!";

const char* const TEXT_DIALOG_TITLE = "Korvanel V1.0";
const char* const TEXT_ABOUT_MENU_ITEM = "&About Korvanel...";
const char* const TEXT_RESULT_CAPTION = "Result";
const char* const TEXT_ERROR_CAPTION = "Error";
const char* const TEXT_THREAD_FAIL = "Create Thread Faile.";
const char* const TEXT_THREAD_FAIL_CAPTION = "Ruzu";
const char* const TEXT_NEED_UNSIGNED = "Please enter a positive integer.";
const char* const TEXT_NEED_INTEGER = "Please enter an integer.";
const char* const TEXT_NEED_ADDRESS_RANGE = "Please enter an integer between 0 and 255.";
const char* const TEXT_BUTTON_STOP = "Stop";
const char* const TEXT_BUTTON_START = "Start";
const char* const TEXT_HELP_NOT_OPENED = "Korvanel's help could not be opened. It is the file";

const char* const FUNCTION_NAMES[FUNCTION_NAME_COUNT] = {
    "3.ReadHoldReg", "4.ReadInputReg", "6.SetSingleReg", "ReadParameter", "WriteParameter",
};

const char* const TEXT_PORT_LOST = "COM Port Lost: ";
const char* const TEXT_CONNECT_CANCELLED = "the connect was cancelled";

const char* PortOpenFailureText(PortOpenResult result)
{
    switch (result) {
    case PortOpenResult::OpenFailed: return "COM Open Fail";
    case PortOpenResult::SettingFailed: return "COM Setting Fail!!";
    case PortOpenResult::MaskFailed: return "COM Mask Set Fail";
    case PortOpenResult::Ok: break;
    }
    return "";
}

const char* ExceptionCodeMeaning(std::uint8_t code)
{
    switch (code) {
    case EXCEPTION_ILLEGAL_FUNCTION: return "illegal function";
    case EXCEPTION_ILLEGAL_DATA_ADDRESS: return "illegal data address";
    case EXCEPTION_ILLEGAL_DATA_VALUE: return "illegal data value";
    case EXCEPTION_SERVER_DEVICE_FAILURE: return "server device failure";
    case EXCEPTION_ACKNOWLEDGE: return "acknowledge";
    case EXCEPTION_SERVER_DEVICE_BUSY: return "server device busy";
    case EXCEPTION_MEMORY_PARITY_ERROR: return "memory parity error";
    case EXCEPTION_GATEWAY_PATH_UNAVAILABLE: return "gateway path unavailable";
    case EXCEPTION_GATEWAY_TARGET_NO_RESPONSE: return "gateway target device failed to respond";
    default: return "unknown exception code";
    }
}

} // namespace korvanel
