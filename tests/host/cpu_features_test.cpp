// The processor the host presents to the driver: with CPUID faulting, CPUID function 1 of the
// whole program (threads created afterwards too) reports the chosen instruction sets, other
// functions are the processor's own, and a fault that is not a CPUID still ends the program.
// Each case runs in a child process, since the choice holds for the rest of a process.
#include <cpuid.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host_kernel.h"

namespace {

constexpr unsigned kMmx = 1u << 23, kSse = 1u << 25, kSse2 = 1u << 26;

struct Seen {
  int presented;  // 1: the form was presented, 0: refused
  unsigned edxMain, edxThread, leaf0[4];
  char why[200];
};

Seen Cpuid1And0() {
  Seen s{};
  unsigned a, b, c, d;
  __cpuid(1, a, b, c, d);
  s.edxMain = d;
  std::thread([&] {
    unsigned a2, b2, c2, d2;
    __cpuid(1, a2, b2, c2, d2);
    s.edxThread = d2;
  }).join();
  __cpuid(0, s.leaf0[0], s.leaf0[1], s.leaf0[2], s.leaf0[3]);
  return s;
}

// Runs body in a child that first presents form; returns what the child saw. The child ends
// within seconds whatever happens (alarm).
Seen InChild(HostCpuForm form) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    close(fds[0]);
    Seen s{};
    std::string why;
    if (HostCpu_Present(form, &why)) {
      s = Cpuid1And0();
      s.presented = 1;
    } else {
      snprintf(s.why, sizeof(s.why), "%s", why.c_str());
    }
    (void)!write(fds[1], &s, sizeof(s));
    _exit(0);
  }
  close(fds[1]);
  Seen s{};
  EXPECT_EQ(read(fds[0], &s, sizeof(s)), (ssize_t)sizeof(s)) << "the child reported nothing";
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return s;
}

TEST(HostCpuFeatures, EachFormHidesTheLaterInstructionSetsFromEveryThread) {
  unsigned a, b, c, realEdx, leaf0[4];
  __cpuid(1, a, b, c, realEdx);
  __cpuid(0, leaf0[0], leaf0[1], leaf0[2], leaf0[3]);
  const struct {
    HostCpuForm form;
    unsigned present, absent;
  } cases[] = {{HostCpuForm::Mmx, kMmx, kSse | kSse2}, {HostCpuForm::Scalar, 0, kMmx | kSse | kSse2}};
  for (const auto &k : cases) {
    Seen s = InChild(k.form);
    if (!s.presented) GTEST_SKIP() << s.why;
    for (unsigned edx : {s.edxMain, s.edxThread}) {
      EXPECT_EQ(edx & (kMmx | kSse | kSse2), k.present) << std::hex << edx;
      EXPECT_EQ(edx & ~(kMmx | kSse | kSse2), realEdx & ~(kMmx | kSse | kSse2)) << "other flags changed";
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.leaf0[i], leaf0[i]) << "function 0 register " << i;
  }
  // sse2 is the processor as it is, where it has SSE2.
  if (realEdx & kSse2) {
    Seen s = InChild(HostCpuForm::Sse2);
    EXPECT_EQ(s.presented, 1) << s.why;
    EXPECT_EQ(s.edxMain, realEdx);
  }
}

TEST(HostCpuFeatures, AFaultThatIsNoCpuidStillEndsTheProgram) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    std::string why;
    if (!HostCpu_Present(HostCpuForm::Mmx, &why)) _exit(77);
    *(volatile int *)nullptr = 1;
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no CPUID faulting here";
  // The fault goes on to the handler that was there before: the default one ends the program
  // with SIGSEGV; under AddressSanitizer its own handler reports the fault and exits with 1.
  if (WIFSIGNALED(status)) {
    EXPECT_EQ(WTERMSIG(status), SIGSEGV) << "status " << status;
  } else {
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_NE(WEXITSTATUS(status), 0) << "the fault was swallowed";
  }
}

}  // namespace
