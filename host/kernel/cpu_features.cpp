// The processor the driver sees: the host can present one without SSE2 (and SSE), or without
// MMX too, so that each of the driver's and the library's forms runs on this machine.
//
// Both ask CPUID themselves (also the loaded image Torvane.sys), so the host cannot answer
// through a function. Linux CPUID faulting (arch_prctl(ARCH_SET_CPUID, 0)) makes every CPUID of
// the thread, and of the threads it creates afterwards, raise SIGSEGV; the handler runs the real
// CPUID with faulting briefly off, clears the feature bits the chosen processor lacks, and
// steps past the two-byte instruction.
#include <asm/prctl.h>
#include <cpuid.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_kernel.h"

namespace {

// CPUID function 1, EDX and ECX.
constexpr unsigned kEdxMmx = 1u << 23, kEdxSse = 1u << 25, kEdxSse2 = 1u << 26;
// Every ECX feature of function 1 from SSE3 on comes after SSE2: cleared with it.
constexpr unsigned kEcxVectorFeatures = (1u << 0) | (1u << 9) | (1u << 12) | (1u << 19) | (1u << 20) |
                                        (1u << 25) | (1u << 26) | (1u << 27) | (1u << 28) | (1u << 29);

unsigned g_edxClear;  // EDX bits of function 1 the presented processor lacks
unsigned g_ecxClear;
HostCpuForm g_form = HostCpuForm::Native;
struct sigaction g_previous;

long ArchPrctl(int code, unsigned long arg) { return syscall(SYS_arch_prctl, code, arg); }

bool HasRealSse2() {
  unsigned a, b, c, d;
  return __get_cpuid(1, &a, &b, &c, &d) && (d & kEdxSse2) != 0;
}

void OnSegv(int sig, siginfo_t *info, void *context) {
  ucontext_t *uc = static_cast<ucontext_t *>(context);
#if defined(__x86_64__)
  greg_t &ip = uc->uc_mcontext.gregs[REG_RIP];
  greg_t &ax = uc->uc_mcontext.gregs[REG_RAX], &bx = uc->uc_mcontext.gregs[REG_RBX];
  greg_t &cx = uc->uc_mcontext.gregs[REG_RCX], &dx = uc->uc_mcontext.gregs[REG_RDX];
#else
  greg_t &ip = uc->uc_mcontext.gregs[REG_EIP];
  greg_t &ax = uc->uc_mcontext.gregs[REG_EAX], &bx = uc->uc_mcontext.gregs[REG_EBX];
  greg_t &cx = uc->uc_mcontext.gregs[REG_ECX], &dx = uc->uc_mcontext.gregs[REG_EDX];
#endif
  const unsigned char *insn = reinterpret_cast<const unsigned char *>(ip);
  // A CPUID fault is a general-protection fault (no address) at 0F A2.
  if (info->si_code == SI_KERNEL && insn[0] == 0x0F && insn[1] == 0xA2) {
    unsigned leaf = (unsigned)ax, sub = (unsigned)cx, a, b, c, d;
    ArchPrctl(ARCH_SET_CPUID, 1);
    __cpuid_count(leaf, sub, a, b, c, d);
    ArchPrctl(ARCH_SET_CPUID, 0);
    if (leaf == 1) {
      d &= ~g_edxClear;
      c &= ~g_ecxClear;
    }
    ax = (greg_t)a;
    bx = (greg_t)b;
    cx = (greg_t)c;
    dx = (greg_t)d;
    ip += 2;
    return;
  }
  // Any other fault is the program's own: the previous disposition takes it.
  sigaction(SIGSEGV, &g_previous, nullptr);
  (void)sig;
}

}  // namespace

bool HostCpu_ParseForm(const char *name, HostCpuForm *form) {
  if (std::strcmp(name, "sse2") == 0) *form = HostCpuForm::Sse2;
  else if (std::strcmp(name, "mmx") == 0) *form = HostCpuForm::Mmx;
  else if (std::strcmp(name, "scalar") == 0) *form = HostCpuForm::Scalar;
  else return false;
  return true;
}

bool HostCpu_Present(HostCpuForm form, std::string *why) {
  if (form == HostCpuForm::Native) return true;
  if (g_form != HostCpuForm::Native) {
    if (g_form == form) return true;
    *why = "another processor is presented already (TORVANE_CPU)";
    return false;
  }
  if (form == HostCpuForm::Sse2) {
    if (!HasRealSse2()) {
      *why = "sse2: this processor has no SSE2";
      return false;
    }
    g_form = form;  // the processor as it is
    return true;
  }
#if defined(__x86_64__) || defined(__i386__)
  if (ArchPrctl(ARCH_GET_CPUID, 0) < 0) {
    *why = std::string(form == HostCpuForm::Mmx ? "mmx" : "scalar") +
           ": this machine offers no CPUID faulting (arch_prctl ARCH_SET_CPUID), so the processor "
           "cannot be presented without its vector instruction sets";
    return false;
  }
  g_edxClear = kEdxSse | kEdxSse2 | (form == HostCpuForm::Scalar ? kEdxMmx : 0);
  g_ecxClear = kEcxVectorFeatures;
  struct sigaction action {};
  action.sa_sigaction = OnSegv;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSEGV, &action, &g_previous) != 0 || ArchPrctl(ARCH_SET_CPUID, 0) != 0) {
    *why = "CPUID faulting could not be switched on";
    return false;
  }
  g_form = form;
  return true;
#else
  *why = "no CPUID on this processor";
  return false;
#endif
}

HostCpuForm HostCpu_Form() { return g_form; }

namespace {

// TORVANE_CPU, read once when the program starts, before any thread or driver runs. A form
// the machine cannot present ends the program with one line and exit code 77 (which ctest
// counts as skipped) rather than running another form.
struct EnvironmentChoice {
  EnvironmentChoice() {
    const char *v = std::getenv("TORVANE_CPU");
    if (v == nullptr || *v == '\0') return;
    HostCpuForm form;
    std::string why;
    if (!HostCpu_ParseForm(v, &form)) {
      std::fprintf(stderr, "TORVANE_CPU=%s: expected sse2, mmx or scalar\n", v);
      std::_Exit(2);
    }
    if (!HostCpu_Present(form, &why)) {
      std::fprintf(stderr, "TORVANE_CPU=%s: %s\n", v, why.c_str());
      std::_Exit(77);
    }
  }
} g_environmentChoice;

}  // namespace

// Referenced by the link options of every program that links the host (CMakeLists.txt), so
// that the environment choice above is linked in even where nothing else of this file is.
extern "C" int HostCpu_EnvironmentAnchor;
int HostCpu_EnvironmentAnchor;
