// Putting the gate in front of a server's address, the same for every server.
#include "net/header_gate.h"

#include "net/address_in_use.h"

namespace platewise::net {

bool listen_in_front(const std::string& address, std::unique_ptr<HeaderGate>& gate, std::string& error)
{
    gate.reset();
    if (!HeaderGate::available() || !HeaderGate::understands(address)) {
        return true;
    }
    gate = std::make_unique<HeaderGate>();
    if (!gate->listen(address, error)) {
        const std::string in_use = address_in_use_hint(address);
        if (!in_use.empty()) {
            error = in_use;
        }
        gate.reset();
        return false;
    }
    return true;
}

}  // namespace platewise::net
