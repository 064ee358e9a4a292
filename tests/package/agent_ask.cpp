// Asks an agent at ADDR:PORT for one set of readings and prints the reply; exits 0 when a
// reply for the request arrived (whatever its status), 1 otherwise. The package test uses it
// on the installed binary.
#include <cstdio>

#include "agent/address.h"
#include "tests/native/agent_test_support.h"

int main(int argc, char** argv) {
    vorn::agent::Endpoint to;
    if (argc != 2 || !vorn::agent::ParseEndpoint(argv[1], &to)) {
        std::fprintf(stderr, "usage: agent_ask ADDR:PORT\n");
        return 2;
    }
    vorn::agent::testing::UdpClient client(to.addr.ss_family);
    const auto answer = vorn::agent::testing::Ask(client, to, 0x5EC0DE01u, 3000);
    if (!answer) {
        std::fprintf(stderr, "agent_ask: no reply from %s\n", argv[1]);
        return 1;
    }
    std::printf("status %d:", static_cast<int>(answer->status));
    for (int field = 0; field < static_cast<int>(answer->fields.size()); ++field)
        std::printf(" '%s'", answer->Text(field).c_str());
    std::printf("\n");
    return 0;
}
