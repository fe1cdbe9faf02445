#include "support/serverprogram.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/channelpair.h"

namespace TestSupport {

ServerProgram::ServerProgram()
    : adminBase(dir.file("admin.key_base")),
      serverBase(dir.file("server.key_base")),
      bases(dir.file("bases")),
      adminName(cp("Администратор")),
      serverName(cp("Криптосервер")) {
    writeChannelPair(adminBase, serverBase, adminName, serverName, true, true);
    std::filesystem::create_directory(bases);
    writeInterfaceBase(bases + "/main.key_base", "main", 1);
}

ServerProgram::~ServerProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
}

std::string ServerProgram::program() {
    const char* build = std::getenv("TALVEK_BUILD_DIR");
    if (!build) return {};
    std::string path = std::string(build) + "/src/cryptoserver/talvek-cryptoserver";
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

bool ServerProgram::start(const std::vector<std::string>& extra, ProgramLimits limits) {
    std::vector<std::string> args{"--port", "0",  "--base", serverBase, "--server-name",
                                  "Криптосервер", "--dir",  bases};
    args.insert(args.end(), extra.begin(), extra.end());
    return startWith(args, limits);
}

bool ServerProgram::startWith(const std::vector<std::string>& args, ProgramLimits limits) {
    const std::string path = program();
    int out[2], err[2];
    if (path.empty() || pid_ > 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        // Only what the program opens itself counts against its limit.
        ::close_range(3, ~0u, 0);
        if (limits.openFiles) {
            const rlimit files{limits.openFiles, limits.openFiles};
            if (::setrlimit(RLIMIT_NOFILE, &files) != 0) ::_exit(126);
        }
        if (limits.fileModesBindRoot &&
            (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
             ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0 ||
             ::prctl(PR_CAPBSET_DROP, CAP_FOWNER, 0, 0, 0) != 0))
            ::_exit(126);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    return pid_ > 0;
}

bool ServerProgram::readErrLine() {
    char c;
    for (ssize_t n; (n = ::read(errFd_, &c, 1)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        err_ += c;
        if (c == '\n') return true;
    }
    return false;
}

uint16_t ServerProgram::waitForPort() {
    if (!waitForError(": listening on ")) return 0;
    const size_t colon = err_.rfind(':', err_.size() - 1);
    return colon == std::string::npos ? 0
                                      : static_cast<uint16_t>(std::atoi(err_.c_str() + colon + 1));
}

bool ServerProgram::waitForError(const std::string& text) {
    while (err_.find(text, errSeen_) == std::string::npos) {
        if (errFd_ < 0 || !readErrLine()) return false;
    }
    // Lines are read whole, so the one it is on is complete.
    errSeen_ = err_.find(text, errSeen_) + text.size();
    return true;
}

int ServerProgram::wait() {
    // Both pipes at once, so that neither fills while the other is read.
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* texts[2] = {&out_, &err_};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    outFd_ = errFd_ = -1;
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServerProgram::signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
}

int ServerProgram::openDescriptors() const {
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        ++count;
    return count;
}

}  // namespace TestSupport
