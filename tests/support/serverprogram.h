#pragma once
// The talvek-cryptoserver program of this build, run as a child on a folder
// of its own: an administrator's channel with the server, one interface
// "main", and the program's standard output and error on pipes.

#include <cstdint>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

#include "support/tempdir.h"

namespace TestSupport {

// How the program is held in, beyond its options.
struct ProgramLimits {
    rlim_t openFiles = 0;  // RLIMIT_NOFILE of the program; 0: as inherited
    // Without the capabilities that let root read and write any file, so
    // that a file's mode counts for root too.
    bool fileModesBindRoot = false;
};

class ServerProgram {
public:
    ServerProgram();
    // Kills the program when it still runs.
    ~ServerProgram();
    ServerProgram(const ServerProgram&) = delete;
    ServerProgram& operator=(const ServerProgram&) = delete;

    // The program's path; empty when it is not built.
    static std::string program();

    // Starts the program with --base, --server-name and --dir of this
    // folder, --port 0 and then extra; false when it could not be started.
    bool start(const std::vector<std::string>& extra = {}, ProgramLimits limits = {});
    // Starts it with exactly these arguments.
    bool startWith(const std::vector<std::string>& args, ProgramLimits limits = {});
    // Reads standard error until the line that names the port: the port, or
    // 0 when the program ended (or said something else) first.
    uint16_t waitForPort();
    // Reads standard error until text shows, or the program closes it.
    bool waitForError(const std::string& text);
    // Waits for the program's end, reading both pipes to their end: the
    // exit status, or -1 for a signal.
    int wait();
    void signal(int number) const;
    pid_t pid() const { return pid_; }
    // Descriptors the running program holds.
    int openDescriptors() const;
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    TempDir dir;
    std::string adminBase, serverBase, bases;
    std::string adminName, serverName;  // Windows-1251

private:
    bool readErrLine();

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    std::string out_, err_;
    size_t errSeen_ = 0;  // what waitForPort/waitForError already looked at
};

}  // namespace TestSupport
