#include "ServerCases.h"

namespace relaybox {
namespace {

constexpr TSide K = TSide::Kept;
constexpr TSide C = TSide::Closed;
constexpr TSide S = TSide::Secure;
constexpr int Codes[] = {301, 302, 303, 307};

std::string Redirect(const std::string& path, const std::string& target, int code) {
  return "$HTTP[\"url\"] == \"" + path + "\" { url.redirect = (\"\" => \"" + target +
         "\") url.redirect-code = " + std::to_string(code) + " }\n";
}

// A CGI script that redirects with a small page; lighttpd gives it a Content-Length.
std::string RedirectScript(const std::string& location, int code) {
  return "printf 'Status: %s\\r\\nLocation: %s\\r\\nContent-Type: text/html\\r\\n\\r\\n<html>moved</html>\\r\\n' " +
         std::to_string(code) + " \"" + location + "\"\n";
}

// The Location of link i of a chain under `prefix`; the forms take turns: absolute URL (after
// `origin`, scheme and authority), absolute path, bare name. The last link leads to /plain.txt.
std::string ChainTarget(const std::string& prefix, int i, const std::string& origin) {
  const std::string next = std::to_string(i + 1);
  if (i == 6) return "/plain.txt";
  return i % 3 == 1 ? origin + prefix + next : i % 3 == 2 ? prefix + next : next;
}

// lighttpd's own redirects (mod_redirect, under /bare/ and /chain/, and /cross) carry no
// body: "Content-Length: 0", and the connection stays open where keep-alive is on. Under
// /moved/ CGI scripts redirect with a body. Writes the configuration and the scripts.
std::vector<std::string> Configure(const TServerProcess& server, const TPorts& ports, int closedPort) {
  const std::string folder = server.Folder();
  std::string text =
      "server.modules = (\"mod_openssl\", \"mod_redirect\", \"mod_proxy\", \"mod_cgi\", \"mod_deflate\", "
      "\"mod_accesslog\")\n"
      "server.document-root = \"" + folder + "www\"\n" +
      "server.bind = \"127.0.0.1\"\nserver.port = " + std::to_string(ports.Kept) + "\n" +
      "server.pid-file = \"" + folder + "lighttpd.pid\"\n" +
      "server.errorlog = \"" + folder + "error.log\"\n" +
      "server.upload-dirs = (\"" + folder + "\")\n" +
      "mimetype.assign = (\".txt\" => \"text/plain\", \".bin\" => \"application/octet-stream\")\n"
      // A log file would be flushed only every few seconds; a pipe gets each line at once.
      "accesslog.filename = \"|/bin/cat >> " + folder + "access.log\"\n" +
      "accesslog.format = \"%r\t%>s\t%{Host}i\t%{Connection}i\t%{Accept}i\t%{User-Agent}i\t%{Accept-Encoding}i\t%p\t"
      "%{Content-Encoding}o\"\n"
      "deflate.mimetypes = (\"text/plain\")\ndeflate.allowed-encodings = (\"gzip\", \"deflate\")\n"
      "$SERVER[\"socket\"] == \"127.0.0.1:" + std::to_string(ports.Closed) +
      "\" { server.max-keep-alive-requests = 0 }\n" +
      "$SERVER[\"socket\"] == \"127.0.0.1:" + std::to_string(ports.Secure) + "\" { ssl.engine = \"enable\" ssl.pemfile = \"" +
      folder + TlsCertificate + "\" ssl.privkey = \"" + folder + TlsKey + "\" }\n" +
      "$HTTP[\"url\"] == \"/bad\" { proxy.server = (\"\" => ((\"host\" => \"127.0.0.1\", \"port\" => " +
      std::to_string(closedPort) + "))) }\n" +
      "$HTTP[\"url\"] =~ \"^/moved/\" { cgi.assign = (\"\" => \"/bin/sh\") }\n";
  for (const int code : Codes) {
    text += Redirect("/bare/" + std::to_string(code), "/plain.txt", code);
    server.Write("www/moved/" + std::to_string(code), RedirectScript("/plain.txt", code));
  }
  for (int i = 1; i <= 6; ++i) {
    text += Redirect("/chain/" + std::to_string(i), ChainTarget("/chain/", i, "${url.scheme}://${url.authority}"), 302);
    server.Write("www/moved/chain/" + std::to_string(i),
                 RedirectScript(ChainTarget("/moved/chain/", i, "http://127.0.0.1:$SERVER_PORT"), 302));
  }
  const std::string crossTarget = "http://127.0.0.1:" + std::to_string(ports.Closed) + "/plain.txt";
  text += Redirect("/cross", crossTarget, 302);
  text += Redirect("/to-https", "https://127.0.0.1:" + std::to_string(ports.Secure) + "/to-http", 302);
  text += Redirect("/to-http", "http://127.0.0.1:" + std::to_string(ports.Kept) + "/plain.txt", 302);
  server.Write("www/moved/cross", RedirectScript(crossTarget, 302));
  server.Write("www/moved/tls", RedirectScript("https://127.0.0.1:1/plain.txt", 302));
  server.Write("lighttpd.conf", text);
  return {"/usr/sbin/lighttpd", "-D", "-f", folder + "lighttpd.conf"};
}

std::vector<TServerCase> Cases() {
  return {
      {"proxy to a closed port", K, "/bad", {{K, "/bad", 503}}, 503, 1, "", "503 Service Unavailable"},
      {"chain with bodies, kept", K, "/moved/chain/1",
       {{K, "/moved/chain/1", 302}, {K, "/moved/chain/2", 302}, {K, "/moved/chain/3", 302},
        {K, "/moved/chain/4", 302}, {K, "/moved/chain/5", 302}, {K, "/moved/chain/6", 302}},
       0, 3, "", "", "too many redirects"},
      {"with a body to another port", K, "/moved/cross", {{K, "/moved/cross", 302}, {C, "/plain.txt", 200}}, 200, 0,
       "plain.txt", ""},
      // Followed to https, where nothing listens (port 1): the delivery fails as refused.
      {"to https", K, "/moved/tls", {{K, "/moved/tls", 302}}, 302, 3, "", "", "refused"},
      // A script's redirect with a body, over TLS.
      {"with a body to another port, https", S, "/moved/cross", {{S, "/moved/cross", 302}, {C, "/plain.txt", 200}},
       200, 0, "plain.txt", ""},
  };
}

} // namespace

TServerKind LighttpdServer() { return {"Lighttpd", Configure, Cases, true}; }

} // namespace relaybox
