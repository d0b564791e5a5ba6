#include "command_line.h"

std::vector<std::string> splitCommandLine(std::string_view commandLine) {
    return commandLine.empty() ? std::vector<std::string>{}
                               : std::vector<std::string>{std::string(commandLine)};
}
