// The helper processes: each is a copy of the one origin, not of this
// process, and starts with what its kind had the origin prepare; however a
// helper ends, the origin reaps it and tells how, and an answer the origin
// gives too late is not taken for the next one.
#include "platform/win32/HelperProcess.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/process_status.h"

namespace {

using helper_process::Ending;
using helper_process::Process;

// Counted where the kind is prepared: in the origin, never here.
int prepared = 0;
void prepareCount() { ++prepared; }

// For each byte it reads, answers with the count of prepares it started with
// and then does what the byte says: 'x' leaves, 'a' crashes, 'c' spins until
// a processor time limit of a second ends it, 'w' waits for ever without
// reading again; any other byte: it reads the next.
void serveByByte(int fd) {
  char what = 0;
  while (helper_process::readAll(fd, &what, 1, -1)) {
    const char count = char('0' + prepared);
    if (!helper_process::sendAll(fd, &count, 1)) return;
    if (what == 'x') return;
    if (what == 'a') std::abort();
    if (what == 'c') {
      helper_process::limitCpuTime(1);
      volatile unsigned spin = 0;
      for (;;) spin = spin + 1;
    }
    while (what == 'w') std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

const helper_process::Kind kByByte{prepareCount, serveByByte};
constexpr int kLimit = 60000;

// Sends `what` and returns the helper's answer ('\0' when none came).
char ask(const Process& helper, char what) {
  char answer = 0;
  if (!helper_process::sendAll(helper.fd, &what, 1) ||
      !helper_process::readAll(helper.fd, &answer, 1, kLimit))
    return 0;
  return answer;
}

bool gone(int pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

TEST(HelperProcess, EachHelperIsACopyOfTheOriginWithItsKindPreparedThere) {
  Process helpers[3];
  for (Process& helper : helpers) ASSERT_TRUE(helper_process::start(helper, kByByte, kLimit));
  const int origin = helper_process::originProcess();
  ASSERT_GT(origin, 0);
  EXPECT_EQ(statusField(origin, "Threads"), 1);
  for (const Process& helper : helpers) {
    SCOPED_TRACE(helper.pid);
    EXPECT_EQ(statusField(helper.pid, "PPid"), origin);
    // Prepared once, in the origin, before the first copy.
    EXPECT_EQ(ask(helper, '?'), '1');
    // A stop signal to the whole process group is this process's to take.
    EXPECT_TRUE(ignoresSignal(helper.pid, SIGINT));
    EXPECT_TRUE(ignoresSignal(helper.pid, SIGTERM));
  }
  EXPECT_EQ(prepared, 0);
  EXPECT_NE(helpers[0].pid, helpers[1].pid);
  EXPECT_NE(helpers[1].pid, helpers[2].pid);
  for (Process& helper : helpers) {
    helper_process::stop(helper);
    EXPECT_EQ(helper.fd, -1);
  }
}

TEST(HelperProcess, HowAHelperEndedIsToldAndItIsReaped) {
  struct Case {
    const char* what;
    char request;  // 0: this process closes its side of the socket instead
    Ending ending;
  } cases[] = {
      {"leaves", 'x', Ending::Exited},
      {"its socket closes", 0, Ending::Exited},
      {"crashes", 'a', Ending::Signalled},
      {"uses up its processor time", 'c', Ending::OutOfCpuTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Process helper;
    ASSERT_TRUE(helper_process::start(helper, kByByte, kLimit));
    const int pid = helper.pid;
    if (c.request)
      EXPECT_EQ(ask(helper, c.request), '1');
    else
      shutdown(helper.fd, SHUT_WR);
    // It ends by itself: its socket closes.
    char byte = 0;
    bool timedOut = false;
    EXPECT_FALSE(helper_process::readAll(helper.fd, &byte, 1, kLimit, &timedOut));
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(helper_process::finish(helper, kLimit), c.ending);
    EXPECT_EQ(helper.fd, -1);
    EXPECT_TRUE(gone(pid));
  }
}

// One that reads no more would not notice its socket close: stopping it
// kills it, and the origin reaps it before it answers the next request.
TEST(HelperProcess, AStuckHelperIsKilledWhenStopped) {
  Process stuck, next;
  ASSERT_TRUE(helper_process::start(stuck, kByByte, kLimit));
  const int pid = stuck.pid;
  EXPECT_EQ(ask(stuck, 'w'), '1');
  helper_process::stop(stuck);
  ASSERT_TRUE(helper_process::start(next, kByByte, kLimit));
  EXPECT_TRUE(gone(pid));
  EXPECT_EQ(ask(next, 'x'), '1');
  char byte = 0;
  EXPECT_FALSE(helper_process::readAll(next.fd, &byte, 1, kLimit));
  EXPECT_EQ(helper_process::finish(next, kLimit), Ending::Exited);
}

// A kind whose preparing keeps the origin busy for longer than the first
// start waits: that start fails, and the helper the origin hands over after
// it is not taken by the next start, which gets one of its own, nor is that
// one's taken by a start of another kind; the late one is ended.
void prepareSlowly() { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }
void serveOne(int fd) {
  helper_process::sendAll(fd, "s", 1);
  char byte;
  helper_process::readAll(fd, &byte, 1, -1);
}
const helper_process::Kind kSlow{prepareSlowly, serveOne};

// The count of the origin's helpers once it has answered every request made
// so far.
size_t settledHelpers() {
  Process helper;
  if (!helper_process::start(helper, kByByte, kLimit)) return 0;
  ask(helper, 'x');
  char byte = 0;
  helper_process::readAll(helper.fd, &byte, 1, kLimit);
  helper_process::finish(helper, kLimit);
  return childrenOf(helper_process::originProcess()).size();
}

TEST(HelperProcess, AnAnswerTooLateIsNotTakenForTheNext) {
  const size_t before = settledHelpers();
  Process late;
  EXPECT_FALSE(helper_process::start(late, kSlow, 50));
  EXPECT_EQ(late.fd, -1);
  Process slow, other;
  ASSERT_TRUE(helper_process::start(slow, kSlow, kLimit));
  ASSERT_TRUE(helper_process::start(other, kByByte, kLimit));
  char byte = 0;
  EXPECT_TRUE(helper_process::readAll(slow.fd, &byte, 1, kLimit));
  EXPECT_EQ(byte, 's');
  EXPECT_EQ(ask(other, '?'), '1');
  helper_process::stop(slow);
  helper_process::stop(other);
  // Besides those before, only the helper of the slow kind made ahead.
  EXPECT_EQ(settledHelpers(), before + 1);
}

// ---- The player's helpers end with it -------------------------------------

// Whether the process has ended (gone, or a zombie nobody has reaped yet).
bool ended(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z' ||
         text[close + 2] == 'X';
}

// The processes whose environment holds `mark`.
std::vector<int> processesWithMark(const std::string& mark) {
  std::vector<int> found;
  DIR* dir = opendir("/proc");
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/environ");
    std::string environment((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (environment.find(mark + '\0') != std::string::npos) found.push_back(pid);
  }
  closedir(dir);
  return found;
}

// Of the player's processes (those with `mark`), the one that is neither the
// player nor a child of one of them (the origin is split off by a double
// fork), or -1.
int originOf(int player, const std::string& mark) {
  const std::vector<int> marked = processesWithMark(mark);
  for (int pid : marked) {
    const int parent = statusField(pid, "PPid");
    if (pid != player && parent != player &&
        std::find(marked.begin(), marked.end(), parent) == marked.end())
      return pid;
  }
  return -1;
}

// The player, killed mid-show so that it cannot close anything itself:
// its helpers' origin and every helper it made end too.
TEST(PlayerHelpers, EndWhenThePlayerIsKilled) {
  const std::filesystem::path folder =
      testing::TempDir() + "player-helpers-" + std::to_string(getpid());
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "scene.as") << "float x;\nvoid render(float t) { x = t; }\n";
  std::ofstream(folder / "show.txt") << "0 1 1 scene scene.as 0 1000 0 0\n";
  const std::string mark = "PLAYER_HELPERS_TEST=" + std::to_string(getpid());
  const std::string show = (folder / "show.txt").string();
  // The environment is made here: the child of this threaded process only
  // calls exec.
  std::vector<std::string> environment{mark, "SDL_AUDIODRIVER=dummy"};
  for (char** variable = environ; *variable; ++variable) {
    const std::string text = *variable;
    if (text.rfind("DISPLAY=", 0) != 0 && text.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
        text.rfind("SDL_AUDIODRIVER=", 0) != 0)
      environment.push_back(text);
  }
  std::vector<char*> envp;
  for (std::string& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(ENGINE_PLAYER_PATH), const_cast<char*>(show.c_str()), nullptr};
  const pid_t player = fork();
  ASSERT_GE(player, 0);
  if (player == 0) {
    execve(ENGINE_PLAYER_PATH, argv, envp.data());
    _exit(127);
  }
  // Its origin, and the helpers the origin has made (the shader worker and
  // the trial builds' copies, with those made ahead).
  int origin = -1;
  std::vector<int> helpers;
  for (int i = 0; i < 600 && helpers.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (origin < 0) origin = originOf(player, mark);
    if (origin > 0) helpers = childrenOf(origin);
  }
  kill(player, SIGKILL);
  waitpid(player, nullptr, 0);
  ASSERT_GT(origin, 0) << "no origin of the player's helpers was found";
  EXPECT_GE(helpers.size(), 2u);
  std::vector<int> all = helpers;
  all.push_back(origin);
  for (int i = 0; i < 600 && !std::all_of(all.begin(), all.end(), ended); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int pid : all) EXPECT_TRUE(ended(pid)) << pid;
  std::filesystem::remove_all(folder);
}

}  // namespace
