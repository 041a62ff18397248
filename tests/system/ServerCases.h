#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "RelayRun.h"
#include "ServerProcess.h"

namespace relaybox {

// Every server logs one line per request, fields separated by a tab (they escape control
// characters inside values, so a raw tab only ever separates):
//   request line, status, Host, Connection, Accept, User-Agent, Accept-Encoding,
//   the port that took the request, the reply's Content-Encoding
// An absent header shows as "-".

// Every server listens on two http ports: one keeps connections alive, one closes them. A
// server that speaks TLS also serves https on a third, keeping connections alive, with a
// certificate for IP:127.0.0.1.
enum class TSide { Kept, Closed, Secure };

struct TPorts {
  int Kept = 0, Closed = 0, Secure = 0;
  int operator[](TSide side) const { return side == TSide::Kept ? Kept : side == TSide::Closed ? Closed : Secure; }
  std::string Url(TSide side, const std::string& path) const {
    return (side == TSide::Secure ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string((*this)[side]) +
           path;
  }
};

// One request the server must have logged.
struct TSeen {
  TSide Side;
  std::string Path;
  int Status;
};

// One update address and what fetching it must give.
struct TServerCase {
  std::string Name;
  TSide Side;
  std::string Path;
  std::vector<TSeen> Seen;  // the requests, in order
  int Status;               // the status the client ends with
  int ExitCode;             // relaybox-fetch's
  std::string BodyFile;     // the body is exactly this document-root file (or empty)...
  std::string BodyHas;      // ...or contains this text
  std::string Failure = {}; // with exit code 3: why there is no reply
};

// What every server's configuration gives the same meaning: the documents of WriteDocuments,
// /moved/CODE and /bare/CODE (each redirect status, with a body and without) leading to
// /plain.txt, /chain/1 to /chain/6 each leading to the next and the last to /plain.txt, and
// /cross leading to /plain.txt on the closed port. With `secure`, all of it on the https port
// too, and /to-https on the http ports leading to /to-http on the https port, which leads to
// /plain.txt on the kept port.
inline std::vector<TServerCase> SharedCases(bool secure) {
  constexpr TSide K = TSide::Kept, C = TSide::Closed, S = TSide::Secure;
  std::vector<TServerCase> cases = {
      {"plain text", K, "/plain.txt", {{K, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
      {"missing page", K, "/missing.txt", {{K, "/missing.txt", 404}}, 404, 1, "", "404 Not Found"},
      {"compression on, not offered", K, "/compressible.txt", {{K, "/compressible.txt", 200}}, 200, 0,
       "compressible.txt", ""},
      {"5 MB file", K, "/big.bin", {{K, "/big.bin", 200}}, 200, 0, "big.bin", ""},
      {"to another port", K, "/cross", {{K, "/cross", 302}, {C, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
  };
  if (secure) {
    const std::vector<TServerCase> https = {
        {"plain text, https", S, "/plain.txt", {{S, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
        {"missing page, https", S, "/missing.txt", {{S, "/missing.txt", 404}}, 404, 1, "", "404 Not Found"},
        {"5 MB file, https", S, "/big.bin", {{S, "/big.bin", 200}}, 200, 0, "big.bin", ""},
        {"http to https to http", K, "/to-https", {{K, "/to-https", 302}, {S, "/to-http", 302}, {K, "/plain.txt", 200}},
         200, 0, "plain.txt", ""},
        {"http to https to http, closed", C, "/to-https",
         {{C, "/to-https", 302}, {S, "/to-http", 302}, {K, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
    };
    cases.insert(cases.end(), https.begin(), https.end());
  }
  for (const TSide side : {K, C, S}) {
    if (side == S && !secure) break;
    const std::string on = side == K ? ", kept" : side == C ? ", closed" : ", https";
    // Every relocation counts once, however its connection ends: five are followed, a sixth
    // redirect ends the request.
    std::vector<TSeen> links;
    for (int i = 1; i <= 6; ++i) links.push_back({side, "/chain/" + std::to_string(i), 302});
    cases.push_back({"chain of six" + on, side, "/chain/1", links, 0, 3, "", "", "too many redirects"});
    links.erase(links.begin());
    links.push_back({side, "/plain.txt", 200});
    cases.push_back({"chain of five" + on, side, "/chain/2", links, 200, 0, "plain.txt", ""});
    for (const int code : {301, 302, 303, 307}) {
      for (const std::string kind : {"moved", "bare"}) {
        const std::string path = "/" + kind + "/" + std::to_string(code);
        cases.push_back({kind + " " + std::to_string(code) + on, side, path,
                         {{side, path, code}, {side, "/plain.txt", 200}}, 200, 0, "plain.txt", ""});
      }
    }
  }
  return cases;
}

// Ports the system had free, all different.
inline std::vector<int> FreePorts(std::size_t count) {
  std::vector<int> ports;
  while (ports.size() < count) {
    const int port = FreePort();
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  return ports;
}

// The document root every server serves.
inline void WriteDocuments(const TServerProcess& server) {
  server.Write("www/plain.txt", "Relaybox plain text\r\nsecond line\r\n");
  server.Write("www/empty.txt", "");
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "Line " + std::to_string(i) + " of a text that compresses well.\n";
  server.Write("www/compressible.txt", text);
  std::mt19937 random(20240501);
  std::string bytes(5 * 1024 * 1024, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  server.Write("www/big.bin", bytes);
}

// Compression is really switched on: a request that offers gzip gets it.
inline void ExpectCompressionWhenOffered(int port) {
  const std::string reply =
      TServerProcess::Exchange(port, "GET /compressible.txt HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n");
  EXPECT_NE(reply.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << reply.substr(0, reply.find("\r\n\r\n"));
}

// The log lines of one case's requests, as the relay sends them: no Accept-Encoding, so no
// compressed reply. After a relocation the Host line names the new address's host and port.
inline std::vector<std::string> ExpectedLog(const TServerCase& c, const TPorts& ports) {
  std::vector<std::string> lines;
  for (const TSeen& seen : c.Seen) {
    lines.push_back("GET " + seen.Path + " HTTP/1.0\t" + std::to_string(seen.Status) + "\t127.0.0.1:" +
                    std::to_string(ports[seen.Side]) +
                    "\tKeep-Alive\timage/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*"
                    "\tMozilla/4.0 (compatible; Relaybox)\t-\t" +
                    std::to_string(ports[seen.Side]) + "\t-");
  }
  return lines;
}

// Log lines in short, one per line, for a readable diff: request line, status, which port
// took it and which the Host line names; the other fields only where they differ from what
// the client sends.
inline std::string Summary(const std::vector<std::string>& lines, const TPorts& ports) {
  const auto name = [&ports](const std::string& port) {
    return port == std::to_string(ports.Kept)     ? "kept"
           : port == std::to_string(ports.Closed) ? "closed"
           : port == std::to_string(ports.Secure) ? "secure"
                                                  : port;
  };
  const std::string usual = "Keep-Alive\timage/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*"
                            "\tMozilla/4.0 (compatible; Relaybox)\t-";
  std::string text;
  for (const std::string& line : lines) {
    std::vector<std::string> f;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
      f.push_back(line.substr(from, tab - from));
    }
    f.push_back(line.substr(from));
    if (f.size() != 9 || !f[2].starts_with("127.0.0.1:")) {
      text += line + "\n";
      continue;
    }
    text += f[0] + " | " + f[1] + " | at " + name(f[7]) + " | Host " + name(f[2].substr(10));
    const std::string headers = f[3] + "\t" + f[4] + "\t" + f[5] + "\t" + f[6];
    if (headers != usual) text += " | " + headers;
    if (f[8] != "-") text += " | Content-Encoding " + f[8];
    text += "\n";
  }
  return text;
}

inline void ExpectBody(const TServerCase& c, const TServerProcess& server, const std::string& body) {
  if (!c.BodyFile.empty()) {
    const std::string file = server.Read("www/" + c.BodyFile);
    const auto differ = std::mismatch(body.begin(), body.end(), file.begin(), file.end());
    EXPECT_TRUE(body == file) << "body of " << body.size() << " bytes, " << c.BodyFile << " has " << file.size()
                              << "; first difference at byte " << (differ.first - body.begin());
  } else {
    EXPECT_TRUE(body.find(c.BodyHas) != std::string::npos)
        << "no \"" << c.BodyHas << "\" in a body of " << body.size() << " bytes: " << body.substr(0, 500);
  }
}

// relaybox-fetch against every case in turn, trusting the authority in the PEM file
// `authority`: exit code, status, body and the access log.
inline void ExpectFetchResults(TServerProcess& server, const TPorts& ports, const std::vector<TServerCase>& cases,
                               const std::string& authority) {
  server.TakeLog(ports.Kept);
  for (const TServerCase& c : cases) {
    SCOPED_TRACE(c.Name + ": " + ports.Url(c.Side, c.Path));
    const TRunResult run = RunFetch(ports.Url(c.Side, c.Path), {"SSL_CERT_FILE=" + authority});
    EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Err;
    if (c.ExitCode <= 1) {
      EXPECT_TRUE(run.Err.starts_with(std::to_string(c.Status) + " ")) << run.Err;
      ExpectBody(c, server, run.Out);
    } else {
      EXPECT_EQ(run.Err, "relaybox-fetch: " + c.Failure + "\n");
    }
    EXPECT_EQ(Summary(server.TakeLog(ports.Kept), ports), Summary(ExpectedLog(c, ports), ports));
    // curl, as a second client, ends where the case says; a case that ends at a redirect is
    // left out (the one to https leads to a port where nothing listens).
    if (c.Status / 100 == 3) continue;
    SCOPED_TRACE("curl");
    const TRunResult curl = RunToEnd({"/usr/bin/curl", "-sS", "--http1.0", "-L", "--max-redirs", "5", "-H",
                                      "Connection: Keep-Alive", "--cacert", authority, "-w", "\n%{http_code}",
                                      ports.Url(c.Side, c.Path)},
                                     std::chrono::seconds(30));
    const std::size_t end = curl.Out.rfind('\n');
    if (c.ExitCode == 3) {
      EXPECT_EQ(curl.ExitCode, 47) << curl.Err;  // too many redirects
    } else {
      EXPECT_EQ(curl.ExitCode, 0) << curl.Err;
      EXPECT_EQ(curl.Out.substr(end == std::string::npos ? 0 : end + 1), std::to_string(c.Status));
      ExpectBody(c, server, curl.Out.substr(0, end));
    }
    server.TakeLog(ports.Kept);
  }
}

// The outcome of each "delivery" line of the relay's output, as "site: status code" or
// "site: failed: why".
inline std::string DeliveryOutcomes(const std::string& output) {
  std::string outcomes;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 6 || f[0] != "delivery") continue;
    outcomes += f[2] + ": " + (f[4].starts_with("failed: ") ? f[4] : f[4].substr(0, f[4].find(' '))) + "\n";
  }
  return outcomes;
}

// The real program with one update per case, all in the folder at once: each is requested
// in turn, exactly as relaybox-fetch requests it, and counts as sent or, without a complete
// reply, as failed. The relay trusts the authority in the PEM file `authority`.
inline void ExpectRelayDelivers(TServerProcess& server, const TPorts& ports, const std::vector<TServerCase>& cases,
                                const std::string& authority) {
  server.TakeLog(ports.Kept);
  TRelayRun relay;
  std::vector<std::string> expected;
  std::string outcomes;
  int failed = 0;
  for (const TServerCase& c : cases) {
    failed += c.ExitCode == 3 ? 1 : 0;
    relay.AddUpdate(c.Name, ports.Url(c.Side, c.Path));
    outcomes += c.Name + ": " + (c.ExitCode == 3 ? "failed: " + c.Failure : std::to_string(c.Status)) + "\n";
    const std::vector<std::string> lines = ExpectedLog(c, ports);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  std::string error;
  ASSERT_TRUE(relay.Start(error, "", {"SSL_CERT_FILE=" + authority})) << error;
  const int count = static_cast<int>(cases.size()) - failed;
  const bool sent = relay.WaitForSent(count, std::chrono::seconds(90), failed);
  relay.Stop();
  const std::string output = relay.Output();
  EXPECT_TRUE(sent) << output.substr(output.size() < 2000 ? 0 : output.size() - 2000) << relay.Errors();
  EXPECT_TRUE(output.starts_with("Watching " + relay.WatchFolder() + "\n")) << output.substr(0, 200);
  EXPECT_TRUE(output.ends_with("Updates sent: " + std::to_string(count) +
                               (failed > 0 ? "   Failed: " + std::to_string(failed) : std::string()) + "\n"));
  EXPECT_EQ(DeliveryOutcomes(output), outcomes);
  const std::string errors = relay.Errors();
  EXPECT_FALSE(HasSanitizerReport(errors)) << errors;
  EXPECT_EQ(Summary(server.TakeLog(ports.Kept), ports), Summary(expected, ports));
}

// What sets one kind of real server apart: Configure writes its configuration (and any
// scripts) into the server's folder, beside the shared documents, and gives the command line
// that starts it in the foreground; Cases are its own, beyond SharedCases(). A Secure one
// serves https on ports.Secure with the certificate and key in TlsCertificate and TlsKey.
struct TServerKind {
  std::string Name;
  std::vector<std::string> (*Configure)(const TServerProcess& server, const TPorts& ports, int closedPort);
  std::vector<TServerCase> (*Cases)();
  bool Secure = false;
  friend void PrintTo(const TServerKind& kind, std::ostream* out) { *out << kind.Name; }
};

// Below TServerProcess::Folder().
inline const std::string TlsCertificate = "tls/server.pem";
inline const std::string TlsKey = "tls/server.key";

TServerKind LighttpdServer();
TServerKind NginxServer();
TServerKind ApacheServer();

} // namespace relaybox
