// Every fault a key file can have is worded for both front ends: talvekkey's
// English line and the windows' Russian detail name the same cause.

#include "checks/filecause.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/lockwait.h"

using namespace Talvek;

TEST(FileCause, EveryFaultHasItsCauseInBothLanguages) {
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(10000));
    struct Case {
        FileFault fault;
        int error;
        const char* english;
        const char* russian;
    };
    const Case cases[] = {
        {FileFault::System, ENOENT, "no such file or directory", "нет такого файла или каталога"},
        {FileFault::System, EACCES, "permission denied", "отказано в доступе"},
        {FileFault::System, ENOSPC, "no space left on device",
         "на устройстве не осталось свободного места"},
        {FileFault::System, EISDIR, "is a directory", "это каталог"},
        {FileFault::Locked, 0, "locked by another program for more than 10 s",
         "файл занят другой программой дольше 10 с"},
        {FileFault::ReadOnly, 0, "read-only file", "файл только для чтения"},
        {FileFault::NotRegular, 0, "not a regular file", "не обычный файл"},
        {FileFault::TooLarge, 0, "too large for a key file", "слишком велик для файла ключей"},
        {FileFault::NotAKeyFile, 0, "not a key file", "не файл ключей"},
        {FileFault::NoChannel, 0, "key base without channels", "база ключей без каналов"},
        {FileFault::TwoRoles, 0, "named for two roles of one action",
         "один файл назначен для двух ролей одного действия"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.english);
        const FileFailure failure{"/home/anna/server.key_base", c.fault, c.error};
        EXPECT_EQ(fileCause(failure), c.english);
        EXPECT_EQ(fileCauseRussian(failure), c.russian);
        EXPECT_EQ(fileFailureDetail(failure),
                  std::string("Файл: /home/anna/server.key_base\nПричина: ") + c.russian + ".");
    }
    // A refusal without a Russian wording keeps the system's words and number.
    EXPECT_EQ(fileCauseRussian({"f", FileFault::System, EPIPE}), "системная ошибка " +
                                                                     std::to_string(EPIPE) +
                                                                     " (broken pipe)");
    EXPECT_EQ(fileFailureDetail({"f", FileFault::None, 0}), "");
    const FileFailure unread{"f", FileFault::NotReadWhole, 0, 17};
    EXPECT_EQ(fileCause(unread), "the file holds 17 bytes after the last node that were not read");
    EXPECT_EQ(fileCauseRussian(unread), "после последнего узла в файле осталось 17 непрочитанных байт");
}

TEST(FileCause, TheDetailNamesTheFileAndItsCause) {
    EXPECT_EQ(fileFailureDetail({"/tmp/a.bin", FileFault::NotAKeyFile, 0, 0}),
              "Файл: /tmp/a.bin\nПричина: не файл ключей.");
}
