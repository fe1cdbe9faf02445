// talvek-cryptoserver: keeps the key bases of a system's server interfaces
// and hands them to administrators over their secure channels.

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <csignal>
#include <pthread.h>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "cryptoserver/cryptoserver.h"
#include "fileio/processguard.h"
#include "keystore/cp1251.h"
#include "keystore/version.h"

namespace {

constexpr const char* kUsage =
    "Usage: talvek-cryptoserver --base SERVERBASE --server-name NAME --dir FOLDER\n"
    "                           [--port PORT] [--host ADDRESS] [--admin-name NAME]\n"
    "                           [--max-connections N] [--connection-time SECONDS]\n"
    "                           [--idle-time SECONDS] [--proof-time SECONDS]\n"
    "                           [--stop-time SECONDS] [--max-unproven N]\n"
    "                           [--max-unproven-per-source N] [--max-base MIB]\n"
    "                           [--reply-memory MIB] [--history N]\n"
    "       talvek-cryptoserver --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Serves the key bases of FOLDER (one INTERFACE.key_base per interface) to\n"
    "administrators: each request is authenticated by the administrator's secure\n"
    "channel, which SERVERBASE holds from the server's side.\n"
    "\n"
    "  --base SERVERBASE       key base with the server's side of the administrators'\n"
    "                          channels (signing and encryption, complete keys);\n"
    "                          read again whenever the file changes\n"
    "  --server-name NAME      the channels' local name in SERVERBASE\n"
    "  --dir FOLDER            the interface key bases; previous versions are kept in\n"
    "                          FOLDER/.history/INTERFACE.key_base.N (1 = latest)\n"
    "  --port PORT             TCP port to listen on (default 7000; 0: any free port)\n"
    "  --host ADDRESS          address to listen on (default 127.0.0.1; 0.0.0.0 or ::\n"
    "                          for every interface)\n"
    "  --admin-name NAME       serve only this administrator (default: every\n"
    "                          administrator with a channel in SERVERBASE)\n"
    "  --max-connections N     connections served at once, more are closed (default 64)\n"
    "  --connection-time S     longest an upload's body or a reply may take, plus a\n"
    "                          second per MiB of it (default 60)\n"
    "  --idle-time S           a connection silent this long is closed (default 10)\n"
    "  --proof-time S          for the header, and again for the request's proof\n"
    "                          (default 10)\n"
    "  --stop-time S           after SIGTERM, how long requests in flight may finish\n"
    "                          (default 30, 0 to 3600)\n"
    "  --max-unproven N        connections not yet proved, from all sources (default\n"
    "                          32); from half of it on, new ones are dropped at random\n"
    "  --max-unproven-per-source N\n"
    "                          connections not yet proved, per source address\n"
    "                          (default 4)\n"
    "  --max-base MIB          largest key base an upload may bring, 1 to 256 MiB\n"
    "                          (default 256); a larger one is refused with 104\n"
    "  --reply-memory MIB      bases held in memory for replies, in all (default\n"
    "                          1024); further fetches wait\n"
    "  --history N             previous versions kept per interface (default 5, 0: none)\n"
    "  --help                  this text\n"
    "  --version               the program's version\n"
    "\n"
    "Limits: until a connection has proved its request (protocol 3: a sealed,\n"
    "fresh block never seen before) each source address holds at most 4\n"
    "connections and all sources 32; from 16 unproven connections on, new ones are\n"
    "dropped at random (certainly at 32). A proved connection no longer counts. A\n"
    "key base may be up to 256 MiB; bases held for replies up to 1 GiB in all.\n"
    "These are the defaults of the options above. A refused request gets its\n"
    "status, then up to 8 MiB or 2 s of what the client still sends is read away.\n"
    "Seen nonces are kept in FOLDER/.nonces (600 s).\n"
    "\n"
    "Key names are given in UTF-8. One line per request goes to standard error:\n"
    "time, peer, administrator, request, interface and status, and the file and\n"
    "its cause when the server failed on one (101, 102, 105). SIGTERM or SIGINT\n"
    "stops accepting, closes unproven connections at once, lets requests in\n"
    "flight finish for up to 30 seconds (--stop-time), then ends the rest and\n"
    "exits.\n"
    "\n"
    "Exit status: 0 after a stop by signal, 1 when the server cannot start (the\n"
    "address, or FOLDER/.nonces, named with the cause), 2 for a usage error.\n";

int usage(const std::string& problem) {
    std::cerr << "talvek-cryptoserver: " << problem << "\n"
              << kUsage << "Try 'talvek-cryptoserver --help'.\n";
    return 2;
}

bool number(const std::string& text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && out >= low && out <= high;
}

// Why the server cannot start on its replay guard, naming the file.
std::string noncesProblemText(const std::string& file, const Talvek::ReplayGuard::LoadResult& r) {
    using Problem = Talvek::ReplayGuard::LoadResult::Problem;
    const std::string cause = r.error ? std::string(std::strerror(r.error)) : std::string();
    switch (r.problem) {
        case Problem::CannotOpen:
        case Problem::CannotRead:
            return "cannot read the seen nonces " + file + ": " + cause;
        case Problem::NotRegularFile:
            return "the seen nonces " + file +
                   " are not a regular file (a folder, a device or a symbolic link)";
        case Problem::Damaged:
            return "the seen nonces " + file +
                   " are damaged or not a nonce file; not started, since requests taken in the "
                   "last 600 seconds could be taken again. Once no server has served the folder "
                   "for 600 seconds, remove the file";
        case Problem::CannotWrite:
            return "cannot write the seen nonces " + file + ": " + cause;
        case Problem::None:
            break;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    // The server holds every interface's key base: no crash dump of it.
    Talvek::disableCoreDumps();
    Talvek::CryptoServerConfig config;
    config.log = &std::cerr;
    std::string host = "127.0.0.1";
    long port = 7000;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (option == "--version") {
            std::cout << "talvek-cryptoserver " << Talvek::kVersion << "\n";
            return 0;
        }
        static const char* const kValued[] = {
            "--port",           "--base",        "--dir",
            "--host",           "--server-name", "--admin-name",
            "--history",        "--idle-time",   "--connection-time",
            "--max-connections", "--proof-time", "--stop-time",
            "--max-unproven",   "--max-unproven-per-source",
            "--max-base",       "--reply-memory"};
        if (std::find(std::begin(kValued), std::end(kValued), option) == std::end(kValued))
            return usage("unknown option " + option);
        if (i + 1 >= argc) return usage(option + " needs a value");
        const std::string value = argv[++i];
        long n = 0;
        if (option == "--port") {
            if (!number(value, 0, 65535, port)) return usage("--port takes 0 to 65535");
        } else if (option == "--base") {
            config.serverBase = value;
        } else if (option == "--dir") {
            config.folder = value;
        } else if (option == "--host") {
            host = value;
        } else if (option == "--max-connections") {
            if (!number(value, 1, 10000, n)) return usage("--max-connections takes 1 to 10000");
            config.maxConnections = static_cast<int>(n);
        } else if (option == "--connection-time" || option == "--idle-time") {
            if (!number(value, 1, 86400, n)) return usage(option + " takes 1 to 86400 seconds");
            (option == "--idle-time" ? config.idleLimitMs : config.connectionTimeMs) =
                static_cast<int32_t>(n * 1000);
        } else if (option == "--proof-time") {
            if (!number(value, 1, 600, n)) return usage("--proof-time takes 1 to 600 seconds");
            config.headerTimeMs = static_cast<int32_t>(n * 1000);
        } else if (option == "--stop-time") {
            if (!number(value, 0, 3600, n)) return usage("--stop-time takes 0 to 3600 seconds");
            config.stopGraceMs = static_cast<int32_t>(n * 1000);
        } else if (option == "--max-unproven") {
            if (!number(value, 1, 10000, n)) return usage("--max-unproven takes 1 to 10000");
            config.maxUnproven = static_cast<int>(n);
            config.earlyDropFrom = static_cast<int>(n / 2);
        } else if (option == "--max-unproven-per-source") {
            if (!number(value, 1, 10000, n))
                return usage("--max-unproven-per-source takes 1 to 10000");
            config.maxUnprovenPerSource = static_cast<int>(n);
        } else if (option == "--max-base") {
            if (!number(value, 1, static_cast<long>(Talvek::kBaseMax >> 20), n))
                return usage("--max-base takes 1 to 256 MiB");
            config.maxBase = static_cast<uint64_t>(n) << 20;
        } else if (option == "--reply-memory") {
            if (!number(value, 1, 1048576, n)) return usage("--reply-memory takes 1 to 1048576 MiB");
            config.replyMemory = static_cast<uint64_t>(n) << 20;
        } else if (option == "--history") {
            if (!number(value, 0, 100, n)) return usage("--history takes 0 to 100");
            config.historyDepth = static_cast<int>(n);
        } else if (option == "--server-name" || option == "--admin-name") {
            std::string name;
            if (!Talvek::utf8ToCp1251(value, name) || name.empty())
                return usage(option + " must be a name Windows-1251 can hold");
            (option == "--server-name" ? config.serverName : config.adminName) = name;
        }
    }
    if (config.serverBase.empty() || config.serverName.empty() || config.folder.empty())
        return usage("--base, --server-name and --dir are needed");

    // The stop signals are taken by this thread alone, in sigwait below:
    // every thread the server starts inherits them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Talvek::CryptoServer server(config);
    if (!server.listenOn(host, static_cast<uint16_t>(port))) {
        if (!server.noncesProblem()) {
            std::cerr << "talvek-cryptoserver: "
                      << noncesProblemText(server.noncesFile(), server.noncesProblem()) << "\n";
            return 1;
        }
        std::cerr << "talvek-cryptoserver: cannot listen on " << host << ":" << port << ": "
                  << Talvek::socketErrorText(Talvek::currentSocketError()) << "\n";
        return 1;
    }
    std::cerr << "talvek-cryptoserver " << Talvek::kVersion << ": listening on " << host << ":"
              << server.port() << std::endl;
    server.run();
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    server.stop();
    std::cerr << "talvek-cryptoserver: stopped" << std::endl;
    return 0;
}
