// What both platforms' serial ports share.
#include "serial_port.h"

namespace korvanel {

const char* PortOpenFailureText(PortOpenResult result)
{
    switch (result) {
    case PortOpenResult::OpenFailed:
        return "COM Open Fail";
    case PortOpenResult::SettingFailed:
        return "COM Setting Fail!!";
    case PortOpenResult::MaskFailed:
        return "COM Mask Set Fail";
    case PortOpenResult::Ok:
        break;
    }
    return "";
}

} // namespace korvanel
