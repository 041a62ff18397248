// Plays a scripted server, over several connections and relocations on 127.0.0.1, against one
// Get of the HTTP client, then checks what the client reports against what was sent.
// Built with RELAYBOX_FUZZ_TLS, the same script runs over TLS: the server is OpenSSL's server
// side with a certificate for 127.0.0.1 made at start and trusted through SSL_CERT_FILE, the
// addresses are https, and every end but reset sends a close_notify before the close.
//
// Input: two option bytes, then operations. An operation is one byte taken modulo 16 (the
// letters are its readable spellings), most followed by one operand byte o.
//   byte 0  bits 0-2 LocationChangeMaxCount, bit 3 request version 1.1 (else 1.0),
//           bit 4 no "Connection: Keep-Alive" in the request
//   byte 1  read sizes of the client: 0 whatever the socket holds, else a seed for 1..64
//           (for the first 1024 reads)
// The script is a list of connections: the k-th connection the client opens, on either of the
// server's two ports, plays the k-th. A connection is a list of exchanges: read one request up
// to its blank line, then send the reply the operations built. The script starts with one
// connection of one exchange.
//   N      next exchange on the same connection (kept connection)
//   O      next connection
//   W o    how this connection ends after its exchanges, o%4: close, reset, kept open until
//          the client goes quiet, half close
//   S o    status line HTTP/1.(o&1), (o>>1)%16: 100 200 204 301 302 303 307 404 500, or one of
//          seven malformed first lines
//   J o    header line o%16 from a table: Connection close/keep-alive, types, cookie, junk
//   K o    Content-Length, o%8: right, short or long by (o>>3)+1, 0, negative, 20 digits,
//          int64 max, junk
//   T      Transfer-Encoding: chunked
//   L o    Location, o%8: /rN, rN, first port, second port, second port without path, /rN#f,
//          the scheme's default port, another host (N = o>>3; the harness aborts relocations
//          to the last two)
//   E      blank line ending the header (added by itself before the first body piece)
//   V o    body: o bytes, or (o-191) KiB from 192 on
//   H o    chunk, o%8: 0-3 good of (o>>3)<<(2*(o%8)) bytes, 4 last chunk, 5 with extension,
//          6 broken size line, 7 size line with too little data
//   I o    interim reply, o%4: 1.1 100, 1.1 103 with fields, 1.0 100, 1.1 102; for o in
//          208..215 2^(o-196) of them (a flood)
//   R n .. n raw bytes copied verbatim
//   M o    the last piece of another operation (o%32)+1 times in all; for o in 208..215
//          2^(o-196) times (a flood)
//   P o    send what is built so far; then pause o%4: none, 100 us, 1 ms, 3 ms
//   Q o    send the rest of the reply in pieces of o bytes (0: whole), at most 1024 pieces
// A run sends at most 8 MiB. Seeds live in fuzz/corpus/http_conversation.
//
// After Get the harness aborts the process when: the client is not ready; it relocated from a
// reply without a redirect status, or more than LocationChangeMaxCount + 1 times, or went past
// the limit and still ended as a success; the server saw more requests than relocations and
// unanswered requests account for; a reply whose framing is broken where the client reads it
// (a Content-Length that is no number, a chunk size that is none) ended as a success; a 2 s
// guard had to abort the client although the server had long fallen quiet; the client held
// over 256 KiB of received bytes unconsumed; a request that ended on its own (no abort, no
// error) kept another number of bytes than it counted, or counted other than the
// Content-Length of a complete document; the client ended on a reply it read exactly (see the
// oracle below) with another status or body.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/TextCase.h"
#include "http/HttpClient.h"
#include "net/WndTimer.h"
#include "SplitReads.h"
#include "ThrowAwayAuthority.h"

namespace relaybox {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

#ifdef RELAYBOX_FUZZ_TLS
constexpr bool Tls = true;
#else
constexpr bool Tls = false;
#endif
const std::string Scheme = Tls ? "https://" : "http://";
const std::string SchemeUpper = Tls ? "HTTPS://" : "HTTP://";

constexpr auto ServerTime = 1000ms;      // the server ends its script by then
constexpr auto Patience = 10ms;          // for the client's next request or its close
constexpr std::uint32_t GuardMs = 2000;  // the client is aborted then
constexpr auto StallMargin = 500ms;
constexpr std::size_t MaxSent = 8 << 20;
// Operands that make floods: few, and none of the values mutations like to insert (0, 0xff),
// so that floods stay rare and the fuzzing fast.
constexpr int FloodFrom = 208, FloodTo = 215;
// Splitting the client's reads or the server's sends stops after this many pieces: beyond,
// small pieces only cost time.
constexpr int MaxPieces = 1024;
// What the client may hold unconsumed before a read: a partial line of up to 64 KiB, or what
// one read brought after a document ended; much more means received bytes pile up.
constexpr std::ptrdiff_t MaxPending = 256 << 10;

// 1xx, 204 and 304 replies never have a body, whatever their header says.
bool HasBody(int status) { return status >= 200 && status != 204 && status != 304; }

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "conversation fuzzer: %s\n", what.c_str());
  std::abort();
}

enum class TEnd { Close, Reset, Keep, HalfClose };

struct TStep {
  enum TKind { Data, Flush, Split } Kind = Data;
  std::string Bytes;
  int Value = 0;  // Flush: pause in microseconds; Split: piece size
};

struct TExchange {
  std::vector<TStep> Steps;
  // At most interim replies, then one reply whose body a right Content-Length delimits, and
  // nothing else: the client reads exactly these bytes.
  bool Exact = false;
  // Exact, with a final status and no redirect: the client ends on this reply.
  bool Final = false;
  // Its framing is broken where the client must read it (a Content-Length that is no number,
  // a chunk size that is none): sent whole, it can only end the request as failed.
  bool Broken = false;
  int Status = 0;
  std::string Body;
};

struct TConnection {
  std::vector<TExchange> Exchanges;
  TEnd End = TEnd::Close;
};

struct TScript {
  int MaxRelocations = 5;
  bool Http11 = false, KeepAlive = true;
  std::uint16_t ReadSeed = 0;
  std::vector<TConnection> Connections;
};

// Turns the operations into a script, following the format above.
class TScriptReader {
public:
  TScriptReader(const std::uint8_t* data, std::size_t size, std::string portA, std::string portB)
      : FData(data), FSize(size), FPortA(std::move(portA)), FPortB(std::move(portB)) {}

  TScript Read() {
    TScript script;
    script.MaxRelocations = FData[0] & 7;
    script.Http11 = (FData[0] & 8) != 0;
    script.KeepAlive = (FData[0] & 16) == 0;
    script.ReadSeed = static_cast<std::uint16_t>(FData[1] * 257);
    FPos = 2;
    script.Connections.emplace_back();
    StartExchange();
    while (FPos < FSize) {
      switch (FData[FPos++] % 16) {
        case 0: Pause(Next()); break;
        case 1: AddStep({TStep::Split, {}, Next()}); break;
        case 2: Raw(Next()); break;
        case 3: Status(Next()); break;
        case 4:
          FChunked = FChunked || (ReadsHeader() && HasBody(FStatus));
          Header("Transfer-Encoding: chunked", false);
          break;
        case 5: BlankLine(); break;
        case 6: BodyBytes(Next()); break;
        case 7: script.Connections.back().End = static_cast<TEnd>(Next() % 4); break;
        case 8: Chunk(Next()); break;
        case 9: Interim(Next()); break;
        case 10: HeaderFromTable(Next()); break;
        case 11: ContentLength(Next()); break;
        case 12: Location(Next()); break;
        case 13: Repeat(Next()); break;
        case 14:
          FinishExchange(script.Connections.back());
          StartExchange();
          break;
        case 15:
          FinishExchange(script.Connections.back());
          script.Connections.emplace_back();
          StartExchange();
          break;
      }
    }
    FinishExchange(script.Connections.back());
    return script;
  }

private:
  enum class TPhase { Start, Header, Body };
  // A piece of the reply; a Content-Length whose value waits for the body's length has
  // ContentLengthMode >= 0.
  struct TPiece {
    TStep Step;
    int ContentLengthMode = -1, Delta = 0;
    std::size_t Message = 0;
  };

  std::uint8_t Next() { return FPos < FSize ? FData[FPos++] : 0; }
  static bool IsFlood(std::uint8_t o) { return o >= FloodFrom && o <= FloodTo; }

  void StartExchange() {
    FPieces.clear();
    FPhase = TPhase::Start;
    FExact = true;
    FLocation = false;
    FStatus = 0;
    FStatusLines = 0;
    FContentLengths = 0;
    FBodyLengths.assign(1, 0);
    FBody.clear();
    FRepeatable.clear();
    FStray = FChunked = FBroken = false;
  }

  void AddStep(TStep step) { FPieces.push_back({std::move(step)}); }

  // Appends bytes within the budget; `body`: they are body bytes an exact reply may carry.
  // They become the piece that M repeats, unless they are its copies.
  void Append(std::string bytes, bool body = false, bool repeatable = true) {
    // What the budget cuts off is not sent: the reply is then no longer the one the script built.
    FWhole = bytes.size() <= FBudget;
    if (!FWhole) FExact = false;
    bytes.resize(std::min(bytes.size(), FBudget));
    FBudget -= bytes.size();
    if (FPhase == TPhase::Body) {
      FBodyLengths.back() += bytes.size();
      if (body) FBody += bytes;
    }
    if (repeatable) {
      FRepeatable = bytes;
      FRepeatableBody = body;
    }
    AddStep({TStep::Data, std::move(bytes)});
  }

  std::string Pattern(std::size_t length) {
    static constexpr char Letters[] = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    std::string bytes(length, ' ');
    for (char& c : bytes) c = Letters[FPatternPos++ % (sizeof Letters - 1)];
    return bytes;
  }

  void Pause(std::uint8_t o) {
    static constexpr int Micros[] = {0, 100, 1000, 3000};
    AddStep({TStep::Flush, {}, Micros[o % 4]});
  }

  void Raw(std::uint8_t n) {
    const std::size_t length = std::min<std::size_t>(n, FSize - FPos);
    FExact = false;
    FStray = true;
    FChunked = false;
    Append(std::string(reinterpret_cast<const char*>(FData + FPos), length));
    FPos += length;
  }

  void Status(std::uint8_t o) {
    static constexpr struct {
      int Code;
      const char* Text;
    } Lines[] = {{100, "Continue"}, {200, "OK"}, {204, "No Content"}, {301, "Moved Permanently"}, {302, "Found"},
                 {303, "See Other"}, {307, "Temporary Redirect"}, {404, "Not Found"},
                 {500, "Internal Server Error"}, {0, "HTTP/1.1 abc Junk"}, {0, "HTTP/1.1"}, {0, "HTTP/2 200 OK"},
                 {0, "HTTP/1.1 20"}, {0, ""}, {0, "<HTML><body>"}, {0, "http/1.1 200 OK"}};
    const auto& line = Lines[(o >> 1) % 16];
    if (FPhase != TPhase::Start || FStatusLines > 0 || line.Code == 0 || line.Code == 100) FExact = false;
    ++FStatusLines;
    FStatus = line.Code;
    FContentLengths = 0;
    FBodyLengths.push_back(0);
    FBody.clear();
    FPhase = TPhase::Header;
    if (line.Code == 0) return Append(std::string(line.Text) + "\r\n");
    Append("HTTP/1." + std::to_string(o & 1) + " " + std::to_string(line.Code) + " " + line.Text + "\r\n");
  }

  void Header(const std::string& line, bool harmless) {
    if (FPhase != TPhase::Header) FExact = false;
    if (!harmless) FExact = false;
    if (FPhase == TPhase::Start) FPhase = TPhase::Header;
    Append(line + "\r\n");
  }

  void HeaderFromTable(std::uint8_t o) {
    static constexpr struct {
      const char* Line;
      bool Harmless;
    } Lines[] = {{"Connection: close", true}, {"Connection: keep-alive", true}, {"Connection:  Keep-Alive ", true},
                 {"Proxy-Connection: close", true}, {"Content-Type: text/html", true},
                 {"Content-Type: text/plain; charset=utf-8", true}, {"Set-Cookie: id=1; path=/", true},
                 {"Accept-Ranges: bytes", true}, {"Content-Encoding: gzip", true}, {"Server: fuzz", true},
                 {"X-No-Colon-Here", false}, {": empty name", false}, {"Location:", false},
                 {"Content-Length : 3", false}, {" Transfer-Encoding: chunked", false},
                 {"Transfer-Encoding: identity", true}};
    const auto& line = Lines[o % 16];
    Header(line.Line, line.Harmless);
  }

  void ContentLength(std::uint8_t o) {
    static constexpr const char* Junk[] = {"abc", "", "1 2", "0x10"};
    const int mode = o % 8, delta = (o >> 3) + 1;
    ++FContentLengths;
    if (mode != 0) FExact = false;
    // Negative, too long for 63 bits, or junk: no length at all.
    const bool broken = (mode == 4 || mode == 5 || mode == 7) && ReadsHeader();
    if (mode <= 2) {
      if (FPhase == TPhase::Header) {
        // The value is written when the exchange is finished and the body's length known.
        Header(std::string(), true);
        FPieces.back().ContentLengthMode = mode;
        FPieces.back().Delta = delta;
        FPieces.back().Message = FBodyLengths.size() - 1;
        FRepeatable.clear();  // not a piece to repeat
        return;
      }
      return Header("Content-Length: " + std::to_string(FBodyLengths.back()), true);
    }
    const std::string value = mode == 3   ? "0"
                              : mode == 4 ? "-" + std::to_string(delta)
                              : mode == 5 ? "99999999999999999999"
                              : mode == 6 ? "9223372036854775807"
                                          : Junk[delta % 4];
    Header("Content-Length: " + value, true);
    FBroken = FBroken || (broken && FWhole);
  }

  void Location(std::uint8_t o) {
    const std::string n = std::to_string(o >> 3);
    const std::string here = Scheme + "127.0.0.1:" + FPortA, there = Scheme + "127.0.0.1:" + FPortB;
    const std::string values[] = {"/r" + n, "r" + n, here + "/r" + n, there + "/r" + n, SchemeUpper + "127.0.0.1:" + FPortB,
                                  "/r" + n + "#f", Scheme + "127.0.0.1/r" + n, Scheme + "127.0.0.2:" + FPortA + "/r" + n};
    FLocation = true;
    Header("Location: " + values[o % 8], true);
  }

  // Lines of the exchange's first header, after a real status line and nothing raw: the client
  // reads them as that header.
  bool ReadsHeader() const { return FPhase == TPhase::Header && FStatusLines == 1 && FStatus != 0 && !FStray; }

  void BodyPhase() {
    if (FPhase == TPhase::Start) FExact = false;
    if (FPhase == TPhase::Header) Append("\r\n");
    FPhase = TPhase::Body;
  }

  void BlankLine() {
    if (FPhase != TPhase::Header) FExact = false;
    Append("\r\n");
    FPhase = TPhase::Body;
  }

  void BodyBytes(std::uint8_t o) {
    BodyPhase();
    FChunked = false;
    Append(Pattern(o < 192 ? o : (o - 191) * std::size_t{1024}), true);
  }

  static std::string Hex(std::size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
  }

  void Chunk(std::uint8_t o) {
    static constexpr const char* Broken[] = {"zz\r\n", "-1\r\n", "fffffffffffffffffff\r\n", "\r\n", "5\r\nab"};
    BodyPhase();
    FExact = false;
    const int kind = o % 8, n = o >> 3;
    // While the body so far is whole chunks of the first header's chunked reply, a chunk size
    // that is none breaks it for sure.
    const bool broken = kind == 6 && n % 5 <= 3 && FChunked;
    if (kind <= 3) {
      const std::size_t length = static_cast<std::size_t>(n) << (2 * kind);
      Append(Hex(length) + "\r\n" + Pattern(length) + "\r\n");  // size 0 is the last chunk
      FChunked = FChunked && length > 0;
    } else if (kind == 4) {
      Append("0\r\n\r\n");
      FChunked = false;
    } else if (kind == 5) {
      Append("A;name=value\r\n" + Pattern(10) + "\r\n");
    } else if (kind == 6) {
      Append(Broken[n % 5]);
      FBroken = FBroken || (broken && FWhole);
      FChunked = false;
    } else {
      Append(Hex(n + 1) + "\r\n" + Pattern(n / 2));
      FChunked = false;
    }
  }

  void Interim(std::uint8_t o) {
    // Every 1xx is interim, and nothing of its header counts for the reply after it.
    static constexpr const char* Replies[] = {
        "HTTP/1.1 100 Continue\r\n\r\n",
        "HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\nLocation: /r9\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.0 100 Continue\r\n\r\n", "HTTP/1.1 102 Processing\r\n\r\n"};
    if (FPhase != TPhase::Start) {
      FExact = false;
      FStray = true;  // its blank line ends the header it stands in
    }
    const std::string reply = Replies[o % 4];
    const std::size_t count = IsFlood(o) ? std::size_t{1} << (o - FloodFrom + 12) : 1;
    std::string bytes;
    for (std::size_t i = 0; i < count && bytes.size() + reply.size() <= FBudget; ++i) bytes += reply;
    Append(std::move(bytes));
  }

  // Copies of the last piece another operation appended, so that repeats add up rather
  // than multiply.
  void Repeat(std::uint8_t o) {
    if (FRepeatable.empty()) return;
    const bool interim = FPhase == TPhase::Start;
    if (!(FRepeatableBody && FPhase == TPhase::Body) && !interim) FExact = false;
    if (FPhase == TPhase::Header) FStray = true;
    const std::size_t times = IsFlood(o) ? std::size_t{1} << (o - FloodFrom + 12) : o % 32 + 1u;
    const std::size_t count = std::min(times - 1, FBudget / FRepeatable.size());
    std::string bytes;
    bytes.reserve(FRepeatable.size() * count);
    for (std::size_t i = 0; i < count; ++i) bytes += FRepeatable;
    Append(std::move(bytes), FRepeatableBody, false);
  }

  void FinishExchange(TConnection& connection) {
    if (FPhase == TPhase::Header) Append("\r\n");
    TExchange exchange;
    for (TPiece& piece : FPieces) {
      if (piece.ContentLengthMode >= 0) {
        const auto length = static_cast<std::int64_t>(FBodyLengths[piece.Message]);
        const std::int64_t value = piece.ContentLengthMode == 0   ? length
                                   : piece.ContentLengthMode == 1 ? length - piece.Delta
                                                                  : length + piece.Delta;
        piece.Step.Bytes = "Content-Length: " + std::to_string(value) + "\r\n";
      }
      // Adjacent data leaves in one send.
      if (piece.Step.Kind == TStep::Data && !exchange.Steps.empty() && exchange.Steps.back().Kind == TStep::Data) {
        exchange.Steps.back().Bytes += piece.Step.Bytes;
      } else {
        exchange.Steps.push_back(std::move(piece.Step));
      }
    }
    exchange.Exact = FExact && FStatusLines == 1 && FContentLengths == 1 && (HasBody(FStatus) || FBody.empty());
    exchange.Final = exchange.Exact && FStatus >= 200 && !(FLocation && IsRedirect(FStatus));
    exchange.Broken = FBroken;
    exchange.Status = FStatus;
    exchange.Body = FBody;
    connection.Exchanges.push_back(std::move(exchange));
  }

  const std::uint8_t* FData;
  std::size_t FSize, FPos = 0;
  const std::string FPortA, FPortB;
  std::size_t FBudget = MaxSent;
  std::size_t FPatternPos = 0;
  std::vector<TPiece> FPieces;
  TPhase FPhase = TPhase::Start;
  bool FExact = true, FLocation = false, FRepeatableBody = false;
  bool FWhole = true;     // the last piece went out whole
  bool FStray = false;    // bytes went out that may end a header line or the header early
  bool FChunked = false;  // the body so far is whole chunks of a chunked first reply
  bool FBroken = false;
  int FStatus = 0, FStatusLines = 0, FContentLengths = 0;
  std::string FRepeatable;
  std::vector<std::size_t> FBodyLengths;  // per status line, the bytes after its header
  std::string FBody;
};

// What the server did, in order.
struct TEvent {
  enum TKind { Request, Replied, Unanswered } Kind;
  int Connection = -1, Exchange = -1;
  bool Complete = false;  // Replied: every byte went out
};

// Two listeners on 127.0.0.1 for the life of the process, and one thread per run that plays
// the script and then turns away whoever connects, until Stop. In TLS mode each accepted
// connection is the server side of a TLS connection on the non-blocking socket.
class TScriptServer {
public:
  TScriptServer() {
    for (int& listener : FListeners) {
      listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
          ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("no loopback listener");
      }
      FPorts[&listener - FListeners] = std::to_string(ntohs(address.sin_port));
    }
    FStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FStop < 0) Fail("no eventfd");
    if (Tls) FAuthority.emplace();
  }

  const std::string& Port(int i) const { return FPorts[i]; }
  const std::vector<TEvent>& Log() const { return FLog; }

  void Start(const TScript& script) {
    // Connections left in the backlog by the previous run are dropped unseen.
    for (const int listener : FListeners) {
      for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(fd);
    }
    std::uint64_t value = 0;
    [[maybe_unused]] const auto read = ::read(FStop, &value, sizeof value);
    FLog.clear();
    FBusy = false;
    FIdleSince = TClock::now().time_since_epoch().count();
    FThread = std::thread([this, &script] { Run(script); });
  }

  void Stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(FStop, &one, sizeof one);
    FThread.join();
  }

  // How long the server has had nothing to send, nor a connection open; 0 while it has.
  TClock::duration QuietFor() const {
    if (FBusy) return {};
    return TClock::now() - TClock::time_point(TClock::duration(FIdleSince.load()));
  }

private:
  enum { Ready = 0, TimedOut = -1, Stopped = -2 };

  struct TSslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  // An accepted connection; in TLS mode with its TLS side.
  struct TPeer {
    int Fd = -1;
    std::unique_ptr<SSL, TSslFree> Ssl;
    bool Broken = false;  // a TLS error or a handshake that did not end: no close_notify may follow
  };

  // Waits until one of `fds` is ready for `events` (its index), `until` passes or Stop.
  int Wait(std::initializer_list<int> fds, short events, TClock::time_point until) const {
    pollfd polled[3];
    int count = 0;
    for (const int fd : fds) polled[count++] = {fd, events, 0};
    polled[count] = {FStop, POLLIN, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - TClock::now()).count();
    const int timeout = until == TClock::time_point::max() ? -1 : static_cast<int>(std::max<decltype(left)>(left, 0));
    if (::poll(polled, static_cast<nfds_t>(count + 1), timeout) <= 0) return TimedOut;
    if (polled[count].revents != 0) return Stopped;
    for (int i = 0; i < count; ++i) {
      if (polled[i].revents != 0) return i;
    }
    return TimedOut;
  }

  int Accept(TClock::time_point until) const {
    for (;;) {
      const int ready = Wait({FListeners[0], FListeners[1]}, POLLIN, until);
      if (ready < 0) return ready;
      const int fd = ::accept4(FListeners[ready], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) return fd;
    }
  }

  // Runs one step of OpenSSL on the peer until it succeeds (> 0), waiting as it asks; 0 when
  // the connection closed or failed, else TimedOut or Stopped.
  template <class TStepFn>
  long TlsStep(TPeer& peer, TClock::time_point until, TStepFn step) {
    for (;;) {
      ERR_clear_error();
      const long result = step();
      if (result > 0) return result;
      const int error = SSL_get_error(peer.Ssl.get(), static_cast<int>(result));
      ERR_clear_error();
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        // The client's close_notify leaves ours to send; anything else is no place for one.
        peer.Broken = peer.Broken || error != SSL_ERROR_ZERO_RETURN;
        return 0;
      }
      const int outcome = Wait({peer.Fd}, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, until);
      if (outcome != Ready) return outcome;
    }
  }

  // Runs a socket call until it moves bytes (> 0), waiting for `events`; 0 when the client
  // closed or the connection failed, else TimedOut or Stopped.
  template <class TCallFn>
  long SocketStep(int fd, short events, TClock::time_point until, TCallFn call) const {
    for (;;) {
      const ssize_t n = call();
      if (n > 0) return n;
      if (n == 0 || errno != EAGAIN) return 0;
      const int outcome = Wait({fd}, events, until);
      if (outcome != Ready) return outcome;
    }
  }

  // Bytes from the client, as SocketStep counts them.
  long Receive(TPeer& peer, char* buffer, std::size_t size, TClock::time_point until) {
    if (!peer.Ssl) return SocketStep(peer.Fd, POLLIN, until, [&] { return ::recv(peer.Fd, buffer, size, 0); });
    return TlsStep(peer, until, [&]() -> long {
      std::size_t n = 0;
      return SSL_read_ex(peer.Ssl.get(), buffer, size, &n) == 1 ? static_cast<long>(n) : 0;
    });
  }

  // Bytes to the client, as SocketStep counts them; over TLS they may leave in several records.
  long Transmit(TPeer& peer, const char* data, std::size_t size, TClock::time_point until) {
    if (!peer.Ssl) {
      return SocketStep(peer.Fd, POLLOUT, until, [&] { return ::send(peer.Fd, data, size, MSG_NOSIGNAL); });
    }
    return TlsStep(peer, until, [&]() -> long {
      std::size_t n = 0;
      return SSL_write_ex(peer.Ssl.get(), data, size, &n) == 1 ? static_cast<long>(n) : 0;
    });
  }

  // Queues our close_notify and sends it, as a well-behaved server does before it closes.
  void SendCloseNotify(TPeer& peer, TClock::time_point until) {
    if (!peer.Ssl || peer.Broken || (SSL_get_shutdown(peer.Ssl.get()) & SSL_SENT_SHUTDOWN) != 0) return;
    // 0 (the client's close_notify yet to come) is as good as 1 here.
    TlsStep(peer, until, [&] { return SSL_shutdown(peer.Ssl.get()) >= 0 ? 1L : -1L; });
  }

  void Run(const TScript& script) {
    // OpenSSL's socket writes do not pass MSG_NOSIGNAL: a client gone raises no SIGPIPE here.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const auto deadline = TClock::now() + ServerTime;
    for (std::size_t k = 0; k < script.Connections.size(); ++k) {
      const int fd = Accept(deadline);
      if (fd < 0) break;
      FBusy = true;
      Serve(fd, static_cast<int>(k), script.Connections[k], deadline);
      FIdleSince = TClock::now().time_since_epoch().count();
      FBusy = false;
    }
    // Whoever connects after the script is turned away at once.
    for (int fd; (fd = Accept(TClock::time_point::max())) >= 0;) {
      FLog.push_back({TEvent::Unanswered});
      ::close(fd);
    }
  }

  void Serve(int fd, int index, const TConnection& connection, TClock::time_point deadline) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    TPeer peer;
    peer.Fd = fd;
    std::string pending;
    int outcome = Ready;
    if (FAuthority) {
      // The handshake counts against the script's time; one that fails ends the connection as
      // a close would.
      peer.Ssl.reset(SSL_new(FAuthority->Context()));
      if (!peer.Ssl || SSL_set_fd(peer.Ssl.get(), fd) != 1) Fail("no TLS connection");
      const long result = TlsStep(peer, deadline, [&] { return static_cast<long>(SSL_accept(peer.Ssl.get())); });
      if (result <= 0) {
        peer.Ssl.reset();
        ::close(fd);
        return;
      }
    }
    for (std::size_t e = 0; e < connection.Exchanges.size() && outcome == Ready; ++e) {
      outcome = ReadRequest(peer, pending, std::min(deadline, TClock::now() + Patience));
      if (outcome != Ready) break;
      FLog.push_back({TEvent::Request, index, static_cast<int>(e)});
      const bool complete = Send(peer, connection.Exchanges[e], deadline, outcome);
      FLog.push_back({TEvent::Replied, index, static_cast<int>(e), complete});
      if (!complete && outcome == Ready) outcome = TimedOut;
    }
    if (outcome != Stopped) End(peer, connection.End, pending, deadline);
    peer.Ssl.reset();
    ::close(fd);
  }

  // Reads up to the request's blank line; what came but was not answered is logged.
  int ReadRequest(TPeer& peer, std::string& pending, TClock::time_point until) {
    char buffer[4096];
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      const long n = Receive(peer, buffer, sizeof buffer, until);
      if (n > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (!pending.empty()) FLog.push_back({TEvent::Unanswered});
      pending.clear();
      return n == 0 ? TimedOut : static_cast<int>(n);  // 0: the client closed
    }
    pending.erase(0, end + 4);
    return Ready;
  }

  bool Send(TPeer& peer, const TExchange& exchange, TClock::time_point deadline, int& outcome) {
    std::size_t piece = 0;
    int pieces = 0;
    for (const TStep& step : exchange.Steps) {
      if (TClock::now() > deadline) return false;
      if (step.Kind == TStep::Split) piece = static_cast<std::size_t>(step.Value);
      if (step.Kind == TStep::Flush) std::this_thread::sleep_for(std::chrono::microseconds(step.Value));
      if (step.Kind != TStep::Data) continue;
      for (std::size_t sent = 0; sent < step.Bytes.size();) {
        if (TClock::now() > deadline) return false;
        if (++pieces > MaxPieces) piece = 0;
        const std::size_t want = piece == 0 ? step.Bytes.size() - sent : std::min(piece, step.Bytes.size() - sent);
        const long n = Transmit(peer, step.Bytes.data() + sent, want, deadline);
        if (n < 0) outcome = static_cast<int>(n);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
      }
    }
    return true;
  }

  // Close, Keep and HalfClose send a close_notify before the close; Reset is abortive.
  void End(TPeer& peer, TEnd end, std::string& pending, TClock::time_point deadline) {
    if (end == TEnd::Reset) {
      const linger abortive{1, 0};
      ::setsockopt(peer.Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    if (end == TEnd::HalfClose) {
      SendCloseNotify(peer, deadline);
      ::shutdown(peer.Fd, SHUT_WR);
    }
    // Kept open: a request that comes now finds no reply, and the connection closes when the
    // client goes quiet. Otherwise only what already came is looked at.
    const auto until = end == TEnd::Keep || end == TEnd::HalfClose ? std::min(deadline, TClock::now() + Patience)
                                                                     : TClock::now();
    if (ReadRequest(peer, pending, until) == Ready) FLog.push_back({TEvent::Unanswered});
    if (end == TEnd::Close || end == TEnd::Keep) SendCloseNotify(peer, deadline);
  }

  int FListeners[2] = {-1, -1};
  std::string FPorts[2];
  int FStop = -1;
  std::optional<TThrowAwayAuthority> FAuthority;  // TLS mode only
  std::thread FThread;
  std::vector<TEvent> FLog;  // written by the run's thread, read after Stop
  std::atomic<bool> FBusy{false};
  std::atomic<TClock::rep> FIdleSince{0};
};

// A client whose reads are cut to the sizes the input chooses, and that notes how many
// received bytes it held unconsumed before each read.
class TConversationClient : public THttpClient {
public:
  explicit TConversationClient(std::uint16_t seed) : FSeed(seed) {}
  std::ptrdiff_t MaxPending() const { return FMaxPending; }

protected:
  int ReceiveSome(char* buffer, int size) override {
    // Each read lands right after the bytes still held, so its offset in the receive
    // buffer's heap block is their count.
    char kind[16];
    void* block = nullptr;
    std::size_t length = 0;
    const char* found = __asan_locate_address(buffer, kind, sizeof kind, &block, &length);
    if (found != nullptr && std::strcmp(found, "heap") == 0) {
      FMaxPending = std::max(FMaxPending, buffer - static_cast<char*>(block));
    }
    if (FSeed != 0 && ++FReads <= MaxPieces) size = SplitReadSize(FSeed, size);
    return THttpClient::ReceiveSome(buffer, size);
  }

private:
  std::uint16_t FSeed;
  int FReads = 0;
  std::ptrdiff_t FMaxPending = 0;
};

// True for a Location field whose absolute address is not one of the server's two ports on
// 127.0.0.1. Relative values keep host and port, so they stay with the server.
bool LeavesServer(const Text& line, const TScriptServer& server) {
  const std::size_t colon = line.find(u':');
  if (colon == Text::npos || LowerCase(line.substr(0, colon)) != u"location") return false;
  std::size_t start = colon + 1;
  while (start + 1 < line.size() && line[start] == u' ') ++start;
  const Text value = line.substr(std::min(start, line.size()));
  if (!StartsWithNoCase(value, u"http://") && !StartsWithNoCase(value, u"https://")) return false;
  const Text rest = value.substr(value.find(u"://") + 3);
  const Text authority = rest.substr(0, rest.find_first_of(u"/?"));
  return authority != Utf8ToText("127.0.0.1:" + server.Port(0)) && authority != Utf8ToText("127.0.0.1:" + server.Port(1));
}

} // namespace
} // namespace relaybox

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace relaybox;
  static TScriptServer server;
  if (size < 2) return 0;
  const TScript script = TScriptReader(data, size, server.Port(0), server.Port(1)).Read();

  // The stream stays attached for the whole request: the client takes back a followed
  // redirect's body itself.
  TMemoryStream body;
  TConversationClient client(script.ReadSeed);
  client.URL = Utf8ToText(Scheme + "127.0.0.1:" + server.Port(0) + "/start");
  client.Connection = script.KeepAlive ? u"Keep-Alive" : u"";
  client.SetRequestVer(script.Http11 ? u"1.1" : u"1.0");
  client.LocationChangeMaxCount = script.MaxRelocations;
  client.SetMultiThreaded(true);
  client.BodyStream = &body;

  bool leaves = false, aborted = false, documentEnded = false;
  client.OnHeaderData = [&](THttpClient& sender) { leaves = leaves || LeavesServer(sender.ReceivedHeader().back(), server); };
  client.OnHeaderBegin = [&](THttpClient&) { documentEnded = false; };
  client.OnStateChange = [&](THttpClient& sender) { documentEnded = documentEnded || sender.State() == httpBodyReceived; };
  // A relocation away from the server would wait on the network: it is aborted.
  client.OnLocationChange = [&](THttpClient& sender) {
    if (sender.LocationChangeCurCount() > script.MaxRelocations + 1) Fail("relocations beyond the limit");
    if (!IsRedirect(sender.StatusCode())) Fail("a relocation from a " + std::to_string(sender.StatusCode()) + " reply");
    documentEnded = false;
    if (!leaves) return;
    aborted = true;
    sender.Abort();
  };
  // No run needs the guard: the server is done within ServerTime and turns away whoever comes
  // later. When it still fires, the client held on that long after the server fell quiet.
  bool guardAborted = false;
  TClock::duration quiet{};
  TWndTimer guard(&client);
  guard.SetInterval(GuardMs);
  guard.SetOnTimer([&](TWndTimer& timer) {
    timer.SetEnabled(false);
    if (client.State() == httpReady) return;
    guardAborted = aborted = true;
    quiet = server.QuietFor();
    client.Abort();
  });

  server.Start(script);
  client.Get();
  guard.SetEnabled(false);
  server.Stop();

  if (client.State() != httpReady) Fail("Get returned before the client was ready");
  if (client.LocationChangeCurCount() > script.MaxRelocations + 1) Fail("relocations beyond the limit");
  if (!aborted && client.LocationChangeCurCount() > script.MaxRelocations && client.Failure() == hfNone) {
    Fail("a chain of redirects past the limit ended as a success");
  }
  const auto quietMs = std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count();
  if (guardAborted && quiet >= StallMargin) {
    Fail("the guard aborted the client " + std::to_string(quietMs) + " ms after the server fell quiet");
  }
  if (client.MaxPending() > MaxPending) {
    Fail("the client held " + std::to_string(client.MaxPending()) + " received bytes unconsumed");
  }

  // A request that ended on its own keeps exactly the bytes it counted.
  const bool normal =
      !aborted && client.RequestError() == 0 && client.LocationChangeCurCount() <= script.MaxRelocations;
  if (normal && body.Size() != client.ReceivedCount()) {
    Fail("body stream holds " + std::to_string(body.Size()) + " bytes, ReceivedCount is " +
         std::to_string(client.ReceivedCount()));
  }
  if (normal && documentEnded && client.ContentLength() >= 0 && client.TransferEncoding().empty() &&
      client.ReceivedCount() != client.ContentLength()) {
    Fail("a complete document of Content-Length " + std::to_string(client.ContentLength()) + " counted " +
         std::to_string(client.ReceivedCount()));
  }

  // Every request after the first follows a redirect, or repeats one that a kept connection
  // closed on unanswered (or "answered" with nothing, or perhaps nothing of a reply cut short).
  const auto& log = server.Log();
  const auto silent = [&script](const TEvent& e) {
    const auto& steps = script.Connections[static_cast<std::size_t>(e.Connection)].Exchanges[static_cast<std::size_t>(e.Exchange)].Steps;
    return std::all_of(steps.begin(), steps.end(), [](const TStep& step) { return step.Bytes.empty(); });
  };
  long requests = 0, unanswered = 0;
  for (const TEvent& e : log) {
    requests += e.Kind == TEvent::Request;
    unanswered += e.Kind == TEvent::Unanswered || (e.Kind == TEvent::Replied && (!e.Complete || silent(e)));
  }
  if (requests > 1 + client.LocationChangeCurCount() + unanswered) {
    Fail(std::to_string(requests) + " requests for " + std::to_string(client.LocationChangeCurCount()) + " relocations");
  }
  // A reply whose framing is broken where the client reads it, sent whole on a connection
  // whose earlier replies were exact, never ends as a success.
  for (const TEvent& event : log) {
    if (aborted || event.Kind != TEvent::Replied || !event.Complete) continue;
    const TConnection& connection = script.Connections[static_cast<std::size_t>(event.Connection)];
    const auto exchange = static_cast<std::size_t>(event.Exchange);
    const bool clean = std::all_of(connection.Exchanges.begin(), connection.Exchanges.begin() + static_cast<std::ptrdiff_t>(exchange),
                                   [](const TExchange& e) { return e.Exact; });
    if (clean && connection.Exchanges[exchange].Broken && client.Failure() == hfNone) {
      Fail("a reply with broken framing ended as " + std::to_string(client.StatusCode()) + " and success");
    }
  }

  // The server's last act was a complete, exactly delimited final reply on a connection whose
  // earlier replies were exact too (so nothing stray preceded it), and nothing came after: the
  // client ends on that reply, whatever happened on earlier connections.
  if (aborted || log.empty() || log.back().Kind != TEvent::Replied || !log.back().Complete) return 0;
  const TConnection& connection = script.Connections[static_cast<std::size_t>(log.back().Connection)];
  const auto last = static_cast<std::size_t>(log.back().Exchange);
  const TExchange& reply = connection.Exchanges[last];
  if (!reply.Final || connection.End == TEnd::Reset) return 0;
  for (std::size_t e = 0; e < last; ++e) {
    if (!connection.Exchanges[e].Exact) return 0;
  }
  if (client.StatusCode() != reply.Status || body.Bytes() != reply.Body) {
    Fail("the final reply " + std::to_string(reply.Status) + " with " + std::to_string(reply.Body.size()) +
         " body bytes ended as " + std::to_string(client.StatusCode()) + " with " + std::to_string(body.Size()) +
         " bytes");
  }
  return 0;
}
