// talvek-cryptoserver: a small crypto server for trying the administrator's
// client on one machine.

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cryptoserver/server/cryptoserver.h"
#include "keystore/cp1251.h"

namespace {

std::atomic<int32_t> stopRequested{0};

void onSignal(int) {
    stopRequested = 1;
}

int usage() {
    std::cerr << "Usage: talvek-cryptoserver --port PORT --base SERVERBASE --server-name NAME\n"
                 "                           --dir FOLDER [--admin-name NAME] [--host ADDRESS]\n"
                 "  SERVERBASE holds the server side of the administrator's channel\n"
                 "  (local name NAME); FOLDER holds one INTERFACE.key_base per interface.\n"
                 "  Key names are given in UTF-8. The default host is 127.0.0.1.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Talvek::CryptoServerConfig config;
    std::string host = "127.0.0.1";
    long port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string value = argv[++i];
        if (option == "--port") {
            char* end = nullptr;
            port = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return usage();
        } else if (option == "--base") {
            config.serverBase = value;
        } else if (option == "--dir") {
            config.folder = value;
        } else if (option == "--host") {
            host = value;
        } else if (option == "--server-name" || option == "--admin-name") {
            std::string name;
            if (!Talvek::utf8ToCp1251(value, name)) {
                std::cerr << "talvek-cryptoserver: " << option
                          << " cannot be written in Windows-1251\n";
                return 2;
            }
            (option == "--server-name" ? config.serverName : config.adminName) = name;
        } else {
            return usage();
        }
    }
    if (port < 0 || config.serverBase.empty() || config.serverName.empty() || config.folder.empty())
        return usage();

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    Talvek::CryptoServer server(config);
    if (!server.listenOn(host, static_cast<uint16_t>(port))) {
        std::cerr << "talvek-cryptoserver: cannot listen on " << host << ":" << port << ": "
                  << Talvek::socketErrorText(Talvek::currentSocketError()) << "\n";
        return 1;
    }
    std::cout << "talvek-cryptoserver: listening on " << host << ":" << server.port() << std::endl;
    server.serve(stopRequested);
    return 0;
}
