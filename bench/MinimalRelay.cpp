// The least a relay can do, as a floor for the relay bench's CPU figures on this machine: every
// 200 ms it lists $HOME/Documents/Quintel/Hoofline/Relaybox, takes the lowest-named update file,
// reads it, sends its address one blocking HTTP/1.0 GET (numeric IPv4 addresses only), reads
// the reply to its end and deletes the file. No journal, no log, no threads, no event loop.
//   relaybox_relay_bench --program build/bench/relaybox_minimal_relay --phases idle,burst
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// "http://a.b.c.d:port/path" to its parts; false for anything else.
bool Split(const std::string& url, sockaddr_in& to, std::string& path) {
  unsigned a, b, c, d, port;
  int used = 0;
  if (std::sscanf(url.c_str(), "http://%u.%u.%u.%u:%u%n", &a, &b, &c, &d, &port, &used) != 5) return false;
  to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(a << 24 | b << 16 | c << 8 | d);
  path = url.c_str() + used;
  if (path.empty()) path = "/";
  return true;
}

void Get(const std::string& url) {
  sockaddr_in to;
  std::string path;
  if (!Split(url, to, path)) return;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char reply[4096];
      pollfd wait{fd, POLLIN, 0};
      while (::poll(&wait, 1, 10000) == 1 && ::recv(fd, reply, sizeof reply, 0) > 0) {
      }
    }
  }
  ::close(fd);
}

// The lowest name of the form C*.txt, or "".
std::string Lowest(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return {};
  std::string lowest;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() == 11 && name[0] == 'C' && name.ends_with(".txt") && (lowest.empty() || name < lowest)) lowest = name;
  }
  ::closedir(dir);
  return lowest;
}

void Take(const std::string& path) {
  char text[4096];
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  ::unlink(path.c_str());
  if (got <= 0) return;
  text[got] = '\0';
  const char* address = std::strchr(text, '\n');
  if (!address) return;
  std::string url = address + 1;
  while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
  Get(url);
}

} // namespace

int main() {
  const char* home = std::getenv("HOME");
  if (!home) return 2;
  const std::string folder = std::string(home) + "/Documents/Quintel/Hoofline/Relaybox/";
  for (;;) {
    ::usleep(200000);
    if (const std::string name = Lowest(folder); !name.empty()) Take(folder + name);
  }
}
