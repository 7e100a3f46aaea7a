// The run's records into the journal, else syslog (event_sink.h). Every
// socket is made for one record, non-blocking, and closed after it: the run
// never waits for a log that is busy or gone.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Platform/posix_support.h"
#include "Platform/system/event_sink.h"

namespace platform {

namespace {

// Where the journal and syslog listen: the one place that names them.
const char kJournalSocket[] = "/run/systemd/journal/socket";
const char kSyslogSocket[] = "/dev/log";

class Socket {
 public:
  explicit Socket(int type) : fd_(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// What one log did with the record. there: the log exists (its socket does),
// so a failure is worth telling.
struct Attempt {
  bool taken = false;
  bool there = true;
  std::string call;
  int error = 0;
};

Attempt Failed(const std::string& call, int error) {
  Attempt attempt;
  attempt.there = error != ENOENT;
  attempt.call = call;
  attempt.error = error;
  return attempt;
}

Attempt Taken() {
  Attempt attempt;
  attempt.taken = true;
  return attempt;
}

sockaddr_un Address(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  return address;
}

// The journal's way for a record too large for one datagram: the record in a
// memory file, sealed so that nothing can change it once the journal reads
// it, passed as the datagram's only content.
Attempt SendSealedMemory(int fd, const sockaddr_un& address, const std::string& datagram) {
  const int memory = memfd_create("taverly-record", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory < 0) return Failed("memfd_create", errno);
  Attempt attempt = Taken();
  if (!posix::WriteAll(memory, datagram)) {
    attempt = Failed("write memfd", errno);
  } else if (fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
             0) {
    attempt = Failed("fcntl F_ADD_SEALS", errno);
  } else {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_un*>(&address);
    message.msg_namelen = sizeof address;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &memory, sizeof(int));
    if (posix::Retry([&] { return sendmsg(fd, &message, MSG_NOSIGNAL); }) < 0) {
      attempt = Failed(std::string("sendmsg ") + address.sun_path, errno);
    }
  }
  close(memory);
  return attempt;
}

Attempt SendToJournal(const std::string& datagram) {
  const Socket socket(SOCK_DGRAM);
  if (socket.fd() < 0) return Failed("socket", errno);
  const sockaddr_un address = Address(kJournalSocket);
  const auto sent = posix::Retry([&] {
    return sendto(socket.fd(),
                  datagram.data(),
                  datagram.size(),
                  MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address),
                  sizeof address);
  });
  if (sent >= 0) return Taken();
  if (errno == EMSGSIZE || errno == ENOBUFS)
    return SendSealedMemory(socket.fd(), address, datagram);
  return Failed(std::string("sendto ") + kJournalSocket, errno);
}

// A syslog daemon that listens on a stream socket reads one line up to the
// NUL that ends it.
Attempt SendToSyslogStream(const sockaddr_un& address, const std::string& line) {
  const Socket socket(SOCK_STREAM);
  if (socket.fd() < 0) return Failed("socket", errno);
  if (posix::Retry([&] {
        return connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      }) != 0) {
    return Failed(std::string("connect ") + kSyslogSocket, errno);
  }
  const std::string framed = line + '\0';
  const auto sent = posix::Retry(
      [&] { return send(socket.fd(), framed.data(), framed.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
  if (sent == static_cast<ssize_t>(framed.size())) return Taken();
  return Failed(std::string("send ") + kSyslogSocket, sent < 0 ? errno : EAGAIN);
}

Attempt SendToSyslog(const std::string& line) {
  const sockaddr_un address = Address(kSyslogSocket);
  {
    const Socket socket(SOCK_DGRAM);
    if (socket.fd() < 0) return Failed("socket", errno);
    const auto sent = posix::Retry([&] {
      return sendto(socket.fd(),
                    line.data(),
                    line.size(),
                    MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address),
                    sizeof address);
    });
    if (sent >= 0) return Taken();
    if (errno != EPROTOTYPE) return Failed(std::string("sendto ") + kSyslogSocket, errno);
  }
  return SendToSyslogStream(address, line);
}

// Answers whether a socket of type listens at path, without sending it
// anything: a connect on a socket of the other type is refused.
bool Listens(const char* path, int type) {
  Socket socket(type);
  const sockaddr_un address = Address(path);
  return socket.fd() >= 0 &&
         connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

EventSinkProspect ProspectEventSink() {
  EventSinkProspect prospect;
  if (Listens(kJournalSocket, SOCK_DGRAM)) {
    prospect.sink = EventSink::kJournal;
  } else if (Listens(kSyslogSocket, SOCK_DGRAM) || Listens(kSyslogSocket, SOCK_STREAM)) {
    prospect.sink = EventSink::kSyslog;
  }
  return prospect;
}

EventWriteAnswer WriteEventRecord(const EventRecord& record) {
  EventWriteAnswer answer;
  const Attempt journal = SendToJournal(JournalDatagram(record));
  if (journal.taken) {
    answer.sink = EventSink::kJournal;
    return answer;
  }
  const Attempt syslog = SendToSyslog(SyslogLine(record, static_cast<uint32_t>(getpid())));
  if (syslog.taken) {
    answer.sink = EventSink::kSyslog;
    return answer;
  }
  const Attempt* failed = syslog.there ? &syslog : journal.there ? &journal : nullptr;
  if (failed != nullptr) {
    answer.failed_call = failed->call;
    answer.error = static_cast<uint32_t>(failed->error);
  }
  return answer;
}

}  // namespace platform
