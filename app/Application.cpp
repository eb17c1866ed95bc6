#include "app/Application.h"

namespace korvane {

std::u16string FailureText(std::u16string AMessage) {
    if (!AMessage.empty() && AMessage.back() > u'.') {
        AMessage += u'.';
    }
    return AMessage;
}

}  // namespace korvane
