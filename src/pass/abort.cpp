// The console control handler: stops a running pass in order and says why.
#include "sectorsweep.h"

AbortFlagSet AbortFlags;

namespace {

const char* AbortMessage(DWORD ctrlType) {
    switch (ctrlType) {
        case CTRL_C_EVENT:
            return "Ctrl+C pressed -> abort\n";
        case CTRL_BREAK_EVENT:
            return "Ctrl+Break pressed -> abort\n";
        case CTRL_CLOSE_EVENT:
            return "Close Button pressed -> abort\n";
        case CTRL_LOGOFF_EVENT:
            return "User LogOff -> abort\n";
        case CTRL_SHUTDOWN_EVENT:
            return "System Shutdown -> abort\n";
        default:
            return nullptr;
    }
}

}  // namespace

void SendKeyUps(const WCHAR* text) {
    for (; *text != 0; ++text) {
        BYTE code = static_cast<BYTE>(*text & 0xFF);
        UINT scan = MapVirtualKeyA(code, MAPVK_VK_TO_VSC);
        keybd_event(code, static_cast<BYTE>(scan & 0xFF), KEYEVENTF_KEYUP, 0);
    }
}

BOOL ConsoleCtrlHandler(DWORD ctrlType) {
    if (!LoadFlag(&AbortFlags.EventHandled)) {
        StoreFlag(&AbortFlags.HandlerDone, 0);
        StoreFlag(&AbortFlags.AbortRequested, 1);
        // A pass that has already decided another outcome will never stop for us.
        while (!LoadFlag(&AbortFlags.PassStopped) && !LoadFlag(&AbortFlags.OutcomeDecided)) Sleep(10);
        if (LoadFlag(&AbortFlags.PassStopped)) {
            FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
            SendKeyUps(u"C");
            EnsureLineStart();
            const char* message = AbortMessage(ctrlType);
            if (message != nullptr) Print(message);
            if (!OwnsConsoleWindow()) Print("\n");
            StoreFlag(&AbortFlags.AbortRequested, 1);
            if (ctrlType != CTRL_C_EVENT) StoreFlag(&AbortFlags.EventHandled, 1);
        }
    }
    StoreFlag(&AbortFlags.HandlerDone, 1);
    return TRUE;
}
