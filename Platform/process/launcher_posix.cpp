// The launcher of a control group (process_posix.h): born in the group once,
// it starts each program of the group there as this process's child, so
// that no start has to move a process into the group.
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Platform/posix_support.h"
#include "Platform/process/process_posix.h"

namespace platform {
namespace posix {
namespace {

// A request: this head, with the output's and the program's descriptors
// (as the head says) in its control message, then `length` bytes of text:
// the path to execute, each argument and, started as a person, each string
// of the environment, each ended by '\0'; then, as a person, group_count
// group ids.
struct RequestHead {
  uint32_t length;
  uint32_t count;              // the path and the arguments
  uint32_t environment_count;  // with as_user
  uint32_t group_count;        // with as_user
  uint32_t uid;
  uint32_t gid;
  uint8_t has_output;
  uint8_t has_program;
  uint8_t as_user;
  uint8_t switch_user;
};
// What came after the head: the strings split, the last one of each part
// followed by a null (argv, then envp), and the groups.
struct RequestBody {
  std::vector<char> text;
  std::vector<char*> strings;
  std::vector<gid_t> groups;
};
struct Reply {
  int32_t error;
  int32_t pid;
};

// The most text a request carries; the kernel takes no more for a program's
// arguments and environment together.
constexpr uint32_t kMostText = 32u * 1024 * 1024;
// The most supplementary groups the kernel takes (NGROUPS_MAX).
constexpr uint32_t kMostGroups = 65536;
// The longest a start through the launcher is waited for, request and answer.
constexpr int kReplyWaitMs = 30 * 1000;

bool SendAll(int socket, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = Retry([&] { return send(socket, at, size, MSG_NOSIGNAL); });
    if (sent <= 0) return false;
    at += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveAll(int socket, void* data, size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = Retry([&] { return recv(socket, at, size, MSG_WAITALL); });
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// The head with up to two descriptors.
bool SendHead(int socket, const RequestHead& head, const int* fds, size_t count) {
  iovec part = {const_cast<RequestHead*>(&head), sizeof head};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (count > 0) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(rights), fds, count * sizeof(int));
  }
  // Never blocks: the head is the first thing on an empty socket.
  return Retry([&] { return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT); }) ==
         static_cast<ssize_t>(sizeof head);
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Sends all of data before deadline; false when the launcher does not take
// it by then (one stopped from outside, with its socket full).
bool SendAllBy(int socket, const char* data, size_t size,
               std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    const ssize_t sent =
        Retry([&] { return send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    pollfd room = {socket, POLLOUT, 0};
    if (sent == 0 || errno != EAGAIN ||
        Retry([&] { return poll(&room, 1, MsLeft(deadline)); }) != 1) {
      return false;
    }
  }
  return true;
}

// The head and the descriptors that came with it (close-on-exec here).
bool ReceiveHead(int socket, RequestHead* head, std::vector<int>* fds) {
  iovec part = {head, sizeof *head};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got =
      Retry([&] { return recvmsg(socket, &message, MSG_WAITALL | MSG_CMSG_CLOEXEC); });
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      fds->push_back(fd);
    }
  }
  return got == static_cast<ssize_t>(sizeof *head) && head->length <= kMostText &&
         head->group_count <= kMostGroups &&
         fds->size() == static_cast<size_t>(head->has_output + head->has_program);
}

// The text and the groups after the head: false when the caller is gone;
// *valid when the text splits into the strings the head counts (the last
// ending inside it), a path and at least one argument among them.
bool ReceiveBody(int socket, const RequestHead& head, RequestBody* body, bool* valid) {
  body->text.resize(head.length);
  body->groups.resize(head.group_count);
  if (!ReceiveAll(socket, body->text.data(), body->text.size()) ||
      !ReceiveAll(socket, body->groups.data(), body->groups.size() * sizeof(gid_t))) {
    return false;
  }
  std::vector<char>& text = body->text;
  const bool ended = !text.empty() && text.back() == '\0';
  for (size_t at = 0; ended && at < text.size(); at += std::strlen(&text[at]) + 1) {
    body->strings.push_back(&text[at]);
    if (body->strings.size() == head.count) body->strings.push_back(nullptr);
  }
  *valid = ended && head.count >= 2 && (head.as_user || head.environment_count == 0) &&
           body->strings.size() == size_t{head.count} + 1 + head.environment_count;
  body->strings.push_back(nullptr);
  return true;
}

// One request: its program started, the reply sent. False when the caller
// is gone.
bool ServeOne(int socket) {
  RequestHead head = {};
  std::vector<int> fds;
  RequestBody body;
  bool valid = false;
  const bool asked = ReceiveHead(socket, &head, &fds) && ReceiveBody(socket, head, &body, &valid);
  Reply reply = {EINVAL, -1};
  if (asked && valid) {
    ChildSetup setup;
    setup.path = body.strings[0];
    setup.argv = &body.strings[1];
    setup.as_user = head.as_user != 0;
    setup.switch_user = head.as_user != 0 && head.switch_user != 0;
    setup.uid = head.uid;
    setup.gid = head.gid;
    setup.groups = body.groups.data();
    setup.group_count = body.groups.size();
    setup.envp = setup.as_user ? &body.strings[head.count + 1] : nullptr;
    setup.output_fd = head.has_output ? fds[0] : -1;
    setup.program_fd = head.has_program ? fds.back() : -1;
    setup.in_group = true;
    setup.for_parent = true;
    // Else it would share the launcher's process group, the caller's.
    setup.new_process_group = true;
    pid_t pid = -1;
    bool inside = false;
    reply.error = StartChild(setup, &pid, &inside);
    reply.pid = pid;
  }
  for (int fd : fds) close(fd);
  return asked && SendAll(socket, &reply, sizeof reply);
}

// The launcher's life: nothing of the caller's but the socket, no handler
// of the caller's, and an end with the caller or when the socket closes.
[[noreturn]] void Serve(int socket, pid_t caller) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != caller) _exit(0);
  if (socket > STDERR_FILENO + 1) close_range(STDERR_FILENO + 1, socket - 1, 0);
  close_range(static_cast<unsigned>(socket) + 1, ~0u, 0);
  for (int number = 1; number < NSIG; ++number) {
    if (number != SIGKILL && number != SIGSTOP) signal(number, SIG_DFL);
  }
  const char ready = 1;
  if (!SendAll(socket, &ready, 1)) _exit(0);
  while (ServeOne(socket)) {
  }
  _exit(0);
}

// The request's text (the path, the arguments and, as a person, the
// environment) with what the head says of it and of the identity.
std::string RequestText(const ChildSetup& setup, RequestHead* head) {
  std::string text = std::string(setup.path) + '\0';
  head->count = 1;
  for (char* const* argument = setup.argv; *argument != nullptr; ++argument, ++head->count) {
    text.append(*argument).push_back('\0');
  }
  for (char* const* entry = setup.envp; setup.as_user && entry != nullptr && *entry != nullptr;
       ++entry) {
    text.append(*entry).push_back('\0');
    ++head->environment_count;
  }
  head->length = static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX));
  head->as_user = setup.as_user;
  head->switch_user = setup.switch_user;
  head->uid = setup.uid;
  head->gid = setup.gid;
  head->group_count = setup.as_user ? static_cast<uint32_t>(setup.group_count) : 0;
  return text;
}

}  // namespace

Launcher::Launcher(int group_folder) {
  // The copy made below runs on with the calling thread alone and
  // allocates: a lock another thread held here (the allocator's) would stay
  // taken there for good. With other threads there is no launcher, and
  // programs start the other way.
  pid_t parent = 0;
  uint64_t start = 0;
  long threads = 0;
  if (!ReadStat(getpid(), &parent, &start, &threads) || threads != 1) return;
  int pair[2];
  if (group_folder < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  clone_args args = {};
  args.flags = CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<uint64_t>(group_folder);
  const pid_t caller = getpid();
  // A copy of this process (no shared memory, so the call returns in the
  // copy as fork's does), born in the group.
  const long child = syscall(SYS_clone3, &args, sizeof args);
  if (child == 0) {
    close(pair[0]);
    Serve(pair[1], caller);
  }
  close(pair[1]);
  if (child < 0) {
    close(pair[0]);
    return;
  }
  pid_ = static_cast<pid_t>(child);
  socket_ = pair[0];
  // It says when it is ready; one the kernel ended at its birth never does.
  char ready = 0;
  if (!ReceiveAll(socket_, &ready, 1)) GiveUp();
}

Launcher::~Launcher() { GiveUp(); }

void Launcher::GiveUp() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  if (pid_ <= 0) return;
  // It ends at the socket's end; it is killed too, so that nothing (a stop
  // signal from outside) can keep this process waiting for it.
  kill(pid_, SIGKILL);
  Retry([&] { return waitpid(pid_, nullptr, 0); });
  pid_ = -1;
}

bool Launcher::Start(const ChildSetup& setup, pid_t* pid, int* error) {
  if (!usable()) return false;
  // One that ended or was stopped (a program of an earlier item killed or
  // stopped it) is given up before it is asked: the program then starts
  // another way.
  siginfo_t ended = {};
  if (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
      ended.si_pid == pid_) {
    GiveUp();
    return false;
  }
  RequestHead head = {};
  std::string text = RequestText(setup, &head);
  if (text.size() > kMostText || setup.group_count > kMostGroups) return false;
  text.append(reinterpret_cast<const char*>(setup.groups), head.group_count * sizeof(gid_t));
  int fds[2];
  size_t fd_count = 0;
  if (setup.output_fd >= 0) fds[fd_count++] = setup.output_fd;
  if (setup.program_fd >= 0) fds[fd_count++] = setup.program_fd;
  head.has_output = setup.output_fd >= 0;
  head.has_program = setup.program_fd >= 0;
  // Until the whole request is out, nothing was started: the caller may
  // start the program another way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs);
  if (!SendHead(socket_, head, fds, fd_count) ||
      !SendAllBy(socket_, text.data(), text.size(), deadline)) {
    GiveUp();
    return false;
  }
  Reply reply = {EPIPE, -1};
  // Without a reply, the program may have started: it counts as a start that
  // failed, never as one to make again. A launcher that does not answer (one
  // stopped from outside) is given up rather than waited for.
  pollfd answer = {socket_, POLLIN, 0};
  if (Retry([&] { return poll(&answer, 1, MsLeft(deadline)); }) != 1 ||
      !ReceiveAll(socket_, &reply, sizeof reply)) {
    GiveUp();
  }
  *error = reply.error;
  if (reply.error != 0 && reply.pid > 0) Retry([&] { return waitpid(reply.pid, nullptr, 0); });
  if (reply.error == 0) *pid = reply.pid;
  return true;
}

}  // namespace posix
}  // namespace platform
