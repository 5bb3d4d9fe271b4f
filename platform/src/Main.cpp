// The native program's start-up: Linux hands over argv, not a command line, so one is formed
// the way a Windows shell would pass it: the program name quoted, then each argument as written,
// one blank before each. "prog '/INV '" so yields the tail "/INV ", and "prog /INS /CHK" the tail
// "/INS /CHK". The program's own start-up then takes the tail from it as on Windows.
#include <platform_controls.h>

#include <string>

extern "C" void WinMainCRTStartup();

int main(int argc, char** argv)
{
    std::string commandLine = std::string("\"") + (argc > 0 ? argv[0] : "VorlaLogChecker") + "\"";
    for (int i = 1; i < argc; ++i)
        commandLine += std::string(" ") + argv[i];
    platform::SetCommandLine(commandLine);
    WinMainCRTStartup();
    return 0;
}
