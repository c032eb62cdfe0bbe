// SPDX-License-Identifier: GPL-3.0-or-later
// The words that both front ends print: commands quoted for the shell they are shown for, the
// command line's own wording where the window speaks of its list, counts and times.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fat_tools.h"
#include "words/messages.h"
#include "words/shell_words.h"
#include "words/texts.h"

namespace kestrova::testing {
namespace {

using repair::messages::Audience;

// The messages in English while it lives, whatever the test's locale.
class InEnglish {
 public:
  InEnglish() {
    if (const char* was = std::getenv("LC_ALL")) was_ = was;
    ::setenv("LC_ALL", "en_US.UTF-8", 1);
  }
  ~InEnglish() {
    if (was_.empty()) {
      ::unsetenv("LC_ALL");
    } else {
      ::setenv("LC_ALL", was_.c_str(), 1);
    }
  }

 private:
  std::string was_;
};

TEST(ShellWordsTest, PosixQuotedArgumentsReachTheProgramAsTheyWere) {
  EXPECT_EQ(words::PosixQuoted("/dev/sdb1"), "/dev/sdb1");
  EXPECT_EQ(words::PosixQuoted("F:"), "F:");
  EXPECT_EQ(words::CommandLine({"umount", "/media/tester/MY STICK"}),
            "umount '/media/tester/MY STICK'");
  // Each argument comes back whole from a real shell, also the ones it would split or expand.
  const std::vector<std::string> arguments = {"/tmp/qa/my journals/j1",
                                              "it's",
                                              "a'b'c",
                                              "",
                                              "$HOME",
                                              "`id`",
                                              "*",
                                              "a\\b",
                                              "-n",
                                              "two\nlines",
                                              "~/x",
                                              "x;y&z|w",
                                              "\"quoted\""};
  for (const auto& argument : arguments) {
    const auto echoed = kestrova::testing::Run("printf '%s' " + words::PosixQuoted(argument));
    EXPECT_EQ(echoed.status, 0) << argument;
    EXPECT_EQ(echoed.output, argument) << words::PosixQuoted(argument);
  }
}

TEST(ShellWordsTest, CmdQuotedArgumentsAreQuotedOnlyWhenCmdWouldSplitOrReadThem) {
  EXPECT_EQ(words::CmdQuoted("F:"), "F:");
  EXPECT_EQ(words::CmdQuoted(R"(C:\Users\Lin\AppData\Local\Kestrova\j.journal)"),
            R"(C:\Users\Lin\AppData\Local\Kestrova\j.journal)");
  EXPECT_EQ(words::CmdQuoted(R"(C:\Users\Lin Wei\j.journal)"), R"("C:\Users\Lin Wei\j.journal")");
  for (const std::string special :
       {"a&b", "a|b", "a<b", "a>b", "a^b", "(a)", "a%b", "a!b", "a,b", "a;b", "a=b", "a\tb"}) {
    EXPECT_EQ(words::CmdQuoted(special), "\"" + special + "\"");
  }
  EXPECT_EQ(words::CmdQuoted(""), "\"\"");
  EXPECT_EQ(words::CmdQuoted("say \"hi\""), "\"say \"\"hi\"\"\"");
}

TEST(MessagesTest, CommandLineIsSentToItsDrivesCommandAndTheWindowToItsList) {
  InEnglish english;
  for (const auto kind :
       {volume::DeviceErrorKind::kUnknownLetter, volume::DeviceErrorKind::kNotFound,
        volume::DeviceErrorKind::kDriveChanged}) {
    volume::DeviceError open;
    open.kind = kind;
    open.device = "Q:";
    for (const auto problemKind :
         {repair::ProblemKind::kOpenFailed, repair::ProblemKind::kPassOpenFailed}) {
      const repair::Problem problem = repair::OpenProblem(open, problemKind);
      const std::string cli = repair::messages::Text(problem, Audience::kCommandLine);
      const std::string window = repair::messages::Text(problem, Audience::kWindow);
      EXPECT_NE(cli.find("kestrova-cli drives"), std::string::npos) << cli;
      EXPECT_EQ(cli.find("drive list"), std::string::npos) << cli;
      EXPECT_NE(window.find("drive list"), std::string::npos) << window;
    }
  }
  // Nor does it ask to select a drive: it asks to run the command again.
  repair::Problem written;
  written.kind = repair::ProblemKind::kWriteFailed;
  written.earlierWritten = true;
  repair::Problem flushed;
  flushed.kind = repair::ProblemKind::kFlushFailed;
  repair::Problem changed;
  changed.kind = repair::ProblemKind::kLayoutChanged;
  for (const auto& problem : {written, flushed, changed}) {
    const std::string cli = repair::messages::Text(problem, Audience::kCommandLine);
    const std::string window = repair::messages::Text(problem, Audience::kWindow);
    EXPECT_NE(cli.find("run the command again"), std::string::npos) << cli;
    EXPECT_EQ(cli.find("select"), std::string::npos) << cli;
    EXPECT_NE(window.find("select"), std::string::npos) << window;
  }
}

TEST(MessagesTest, UmountAdviceIsACommandThatCanBeCopied) {
  volume::DeviceError open;
  open.kind = volume::DeviceErrorKind::kBusy;
  open.mountPoint = "/media/tester/MY STICK";
  const std::string text = repair::messages::Text(repair::OpenProblem(open));
  EXPECT_NE(text.find("umount '/media/tester/MY STICK'"), std::string::npos) << text;

  volume::MountChange failed;
  failed.noService = true;
  const std::string unmount = repair::messages::UnmountFailed("/media/tester/it's", failed);
  EXPECT_NE(unmount.find(R"(umount '/media/tester/it'\''s')"), std::string::npos) << unmount;
}

// Every refusal says once that nothing was changed, in whichever words.
TEST(MessagesTest, EachRefusalSaysOnceThatNothingChanged) {
  InEnglish english;
  const std::vector<std::string> sayings = {"not repaired",        "nothing was repaired",
                                            "cannot be repaired",  "nothing on the drive was",
                                            "nothing was changed", "nothing was written"};
  std::vector<repair::Problem> problems;
  for (const auto kind : {repair::ProblemKind::kWriteProtected, repair::ProblemKind::kNotAnalysed,
                          repair::ProblemKind::kNoDrive, repair::ProblemKind::kLayoutChanged}) {
    problems.emplace_back().kind = kind;
  }
  for (const auto kind : {volume::DeviceErrorKind::kReadOnly, volume::DeviceErrorKind::kBusy,
                          volume::DeviceErrorKind::kNotFound}) {
    problems.push_back(
        repair::OpenProblem(volume::CallFailure(kind), repair::ProblemKind::kPassOpenFailed));
  }
  for (const auto& problem : problems) {
    std::string text = repair::messages::Text(problem);
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t said = 0;
    for (const auto& saying : sayings) {
      for (auto at = text.find(saying); at != std::string::npos; at = text.find(saying, at + 1)) {
        ++said;
      }
    }
    EXPECT_EQ(said, 1u) << text;
  }
}

TEST(MessagesTest, CountsTimesAndSizesReadRightInBothLanguages) {
  EXPECT_EQ(repair::messages::ElapsedText(0.03515625), "0.04");
  EXPECT_EQ(repair::messages::ElapsedText(12.34375), "12.34");
  EXPECT_EQ(repair::messages::ElapsedText(0), "0.00");
  EXPECT_EQ(repair::messages::UndoneCount(1), "已恢复1个扇区修改前的内容。");
  EXPECT_EQ(repair::messages::Size(5u << 20), "5242880字节（5.0 MiB）");
  InEnglish english;
  EXPECT_EQ(repair::messages::UndoneCount(1), "The old contents of 1 sector are back.");
  EXPECT_EQ(repair::messages::UndoneCount(3), "The old contents of 3 sectors are back.");
  EXPECT_EQ(repair::messages::JournalChanges(1, "STICK", "1A2B-3C4D"),
            "1 sector of STICK (serial number 1A2B-3C4D)");
  EXPECT_EQ(repair::messages::JournalChanges(2, "STICK", "1A2B-3C4D"),
            "2 sectors of STICK (serial number 1A2B-3C4D)");
  EXPECT_EQ(repair::messages::FinishedCutShort("/j", 1),
            "First finished the change that was cut short (/j): 1 sector written.");
  EXPECT_EQ(repair::messages::Size(3ull << 30), "3221225472 bytes (3.0 GiB)");
}

// The guard's notice: the hidden folders only when their bits were seen, the moved files only when
// nothing else of the virus's is there, the label only when the stick has one.
TEST(MessagesTest, GuardNoticeCountsOnlyWhatItSaw) {
  using repair::messages::GuardNotice;
  repair::WormSigns signs;
  signs.hiddenFolders = 5;
  signs.virusFiles = 7;
  EXPECT_EQ(GuardNotice("F:", "KINGSTON", signs),
            "U盘F:（KINGSTON）被病毒感染：5个文件夹被隐藏，发现7个病毒文件。点击这里修复。");
  signs.attributesSeen = false;
  EXPECT_EQ(GuardNotice("F:", "", signs), "U盘F:被病毒感染：发现7个病毒文件。点击这里修复。");
  repair::WormSigns moved;
  moved.movedFiles = true;
  EXPECT_EQ(GuardNotice("G:", "", moved),
            "U盘G:被病毒感染：病毒把文件移进了一个文件夹。点击这里修复。");
  InEnglish english;
  signs.attributesSeen = true;
  EXPECT_EQ(GuardNotice("F:", "KINGSTON", signs),
            "The USB drive F: (KINGSTON) is infected: 5 folders hidden, 7 files of the virus "
            "found. Click here to repair it.");
  signs.hiddenFolders = 1;
  signs.virusFiles = 1;
  EXPECT_EQ(GuardNotice("F:", "", signs),
            "The USB drive F: is infected: 1 folder hidden, 1 file of the virus found. Click here "
            "to repair it.");
}

}  // namespace
}  // namespace kestrova::testing
