// Running the administrator's program for a notification.
#include "notify/program_channel.h"

namespace platewise::notify {

ChildResult run_program(const ProgramChannel& channel, const Message& message)
{
    ChildRequest request;
    request.argv = {channel.program};
    request.environment = inherited_environment("PLATEWISE_");
    for (std::string& v : environment_variables(message)) {
        request.environment.push_back(std::move(v));
    }
    request.input = json_document(message);
    request.time_limit_ms = channel.time_limit_ms;
    request.cancel = channel.cancel;
    return run_child(request);
}

}  // namespace platewise::notify
