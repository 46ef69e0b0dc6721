// Windows has no header gate yet: the servers listen at the given address
// themselves, bounded by their workers and request time-out alone.
#include "net/header_gate.h"

namespace platewise::net {

struct HeaderGate::State {};

HeaderGate::HeaderGate(GateLimits) : state_(std::make_unique<State>()) {}

HeaderGate::~HeaderGate() = default;

bool HeaderGate::available()
{
    return false;
}

bool HeaderGate::understands(const std::string&)
{
    return false;
}

bool HeaderGate::listen(const std::string&, std::string& error)
{
    error = "not available on this platform";
    return false;
}

std::vector<int> HeaderGate::ports() const
{
    return {};
}

bool HeaderGate::start(int, std::string& error)
{
    error = "not available on this platform";
    return false;
}

void HeaderGate::stop() {}

GateCounts HeaderGate::counts() const
{
    return {};
}

}  // namespace platewise::net
