// SPDX-License-Identifier: Apache-2.0
// Unit tests of DocumentFile: the sweep of leftovers, commit, discard, nothing left open.
#include "DocumentFile.h"

#include <filesystem>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const char kName[] = "FCBOOT32_disc.xml";

// The working directory's entries, sorted, each followed by a space.
std::string Entries()
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.insert(entry.path().filename().string());
    std::string listed;
    for (const auto& name : names)
        listed += name + " ";
    return listed;
}

struct SweepCase : TableRow {
    const char* entry; // made before the document file is created
    enum { File, LockedFile, Directory, Link } kind;
    bool swept;
};

using DocumentFileSweepTest = testing::TestWithParam<SweepCase>;

// Creating the document file removes the temporary files of killed runs of
// this output name, and nothing else.
TEST_P(DocumentFileSweepTest, RemovesOnlyAbandonedTemporaryFiles)
{
    const SweepCase& c = GetParam();
    ScratchDir dir(true);
    WriteFile("target", "kept");
    int held = -1;
    if (c.kind == SweepCase::Directory)
        std::filesystem::create_directory(c.entry);
    else if (c.kind == SweepCase::Link)
        std::filesystem::create_symlink("target", c.entry);
    else
        WriteFile(c.entry, "partial");
    if (c.kind == SweepCase::LockedFile) {
        held = open(c.entry, O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(0, flock(held, LOCK_EX | LOCK_NB));
    }
    const std::string before = Entries();
    {
        DocumentFile document;
        ASSERT_EQ(1, document.Create(kName));
        EXPECT_EQ(!c.swept, std::filesystem::symlink_status(c.entry).type() !=
                                std::filesystem::file_type::not_found);
    }
    if (held >= 0)
        (void)close(held);
    EXPECT_EQ("kept", ReadFile("target"));
    // The document file made no entry that outlives it.
    EXPECT_EQ(c.swept ? "target " : before, Entries());
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, DocumentFileSweepTest,
    testing::Values(SweepCase{"KilledRun", ".FCBOOT32_disc.xml.123", SweepCase::File, true},
                    SweepCase{"KilledRetry", ".FCBOOT32_disc.xml.123.4", SweepCase::File, true},
                    SweepCase{"NotAnAttempt", ".FCBOOT32_disc.xml.123.4x", SweepCase::File, false},
                    SweepCase{"ThreeGroups", ".FCBOOT32_disc.xml.1.2.3", SweepCase::File, false},
                    SweepCase{"NoProcess", ".FCBOOT32_disc.xml.", SweepCase::File, false},
                    SweepCase{"EmptyAttempt", ".FCBOOT32_disc.xml.123.", SweepCase::File, false},
                    SweepCase{"DoubleDot", ".FCBOOT32_disc.xml..123", SweepCase::File, false},
                    SweepCase{"NotHidden", "xFCBOOT32_disc.xml.123", SweepCase::File, false},
                    SweepCase{"LongerName", ".FCBOOT32_disc.xmlx.123", SweepCase::File, false},
                    SweepCase{"OtherOutputName", ".FCBOOT33_disc.xml.123", SweepCase::File, false},
                    SweepCase{"LiveRun", ".FCBOOT32_disc.xml.123", SweepCase::LockedFile, false},
                    SweepCase{"Directory", ".FCBOOT32_disc.xml.123", SweepCase::Directory, false},
                    SweepCase{"Link", ".FCBOOT32_disc.xml.123", SweepCase::Link, false}),
    RowName());

// A document file that is committed, discarded or removed by the signal
// handler leaves the complete document (mode 0644 whatever the umask) or
// nothing, and no descriptor or directory stream open.
TEST(DocumentFileTest, EachEndLeavesTheDocumentOrNothingAndNothingOpen)
{
    const char kContent[] = "<x/>\n";
    const std::string theirs = "." + std::string(kName) + "." + std::to_string(getpid());
    for (const char* end : {"commit", "refused commit", "discard", "signal"}) {
        ScratchDir dir(true);
        const mode_t umask_before = umask(077);
        const long open_before = OpenDescriptors();
        {
            DocumentFile document;
            ASSERT_EQ(1, document.Create(kName)) << end;
            xmlOutputBufferPtr out = document.NewOutput();
            ASSERT_NE(nullptr, out) << end;
            EXPECT_LE(0, xmlOutputBufferWrite(out, 5, kContent)) << end;
            EXPECT_EQ(5, xmlOutputBufferClose(out)) << "bytes written; " << end;
            EXPECT_TRUE(document.Written()) << end;
            if (std::string(end) == "commit") {
                EXPECT_EQ(1, document.Commit()) << end;
                // Its temporary name is free again: a run of the same process
                // number in another PID namespace may take it now.
                WriteFile(theirs, "theirs");
                DocumentFile::RemovePending();
            } else if (std::string(end) == "refused commit") {
                // A directory at the name refuses the rename: the temporary
                // file goes at once, not only when the object ends.
                ASSERT_EQ(0, mkdir(kName, 0755));
                EXPECT_EQ(0, document.Commit());
                EXPECT_EQ(std::string(kName) + " ", Entries());
                EXPECT_EQ(open_before, OpenDescriptors());
                ASSERT_EQ(0, rmdir(kName));
            } else if (std::string(end) == "discard") {
                document.Discard();
            } else {
                DocumentFile::RemovePending();
            }
        }
        (void)umask(umask_before);
        EXPECT_EQ(open_before, OpenDescriptors()) << end;
        if (std::string(end) != "commit") {
            EXPECT_EQ("", Entries()) << end;
            continue;
        }
        EXPECT_EQ(theirs + " " + kName + " ", Entries());
        EXPECT_EQ(kContent, ReadFile(kName));
        struct stat written = {};
        ASSERT_EQ(0, stat(kName, &written));
        EXPECT_EQ(0644u, written.st_mode & 07777u);
    }
}

} // namespace
