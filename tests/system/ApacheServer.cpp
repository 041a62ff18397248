#include <unistd.h>

#include "ServerCases.h"

namespace relaybox {
namespace {

constexpr TSide K = TSide::Kept;
constexpr int Codes[] = {301, 302, 303, 307};

// A CGI script under /scripts/: the header lines, then the body. Without a Content-Length
// apache ends the reply by closing the connection.
void WriteScript(const TServerProcess& server, const std::string& name, const std::string& header,
                 const std::string& body) {
  server.Write("www/scripts/" + name, "#!/bin/sh\nprintf '" + header + "\\r\\n\\r\\n" + body + "'\n");
  std::filesystem::permissions(server.Folder() + "www/scripts/" + name, std::filesystem::perms::owner_exec |
                                                                           std::filesystem::perms::group_exec |
                                                                           std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
}

// apache2 in the foreground with nothing of /etc/apache2. mod_alias's redirects write Location
// absolute, with the port the Host line names, and carry a small HTML page with its length;
// under /bare/ an empty file stands in as that page. Run by root, apache serves as www-data
// (it refuses to serve as root), so the folder is opened to it; anyone else it stays.
std::vector<std::string> Configure(const TServerProcess& server, const TPorts& ports, int /*closedPort*/) {
  const std::string folder = server.Folder();
  std::string text = "ServerRoot " + folder + "\nDefaultRuntimeDir " + folder + "\nPidFile " + folder +
                     "apache2.pid\nErrorLog " + folder + "error.log\nMutex file:" + folder + " default\n" +
                     "ServerName 127.0.0.1\nMaxKeepAliveRequests 1000\n"
                     // One worker serves the requests one after another, so that each is logged
                     // before the next is served: the log is in the order of the requests.
                     "ServerLimit 1\nStartServers 1\nThreadLimit 1\nThreadsPerChild 1\nMaxRequestWorkers 1\n"
                     "MinSpareThreads 1\nMaxSpareThreads 2\n";
  for (const std::string module : {"mpm_event", "authz_core", "mime", "alias", "cgid", "filter", "deflate"}) {
    text += "LoadModule " + module + "_module /usr/lib/apache2/modules/mod_" + module + ".so\n";
  }
  if (::geteuid() == 0) {
    text += "User www-data\nGroup www-data\n";
    std::filesystem::permissions(folder, std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                             std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
  }
  const std::string kept = std::to_string(ports.Kept), closed = std::to_string(ports.Closed);
  text += "Listen 127.0.0.1:" + kept + "\nListen 127.0.0.1:" + closed + "\n" +
          "<VirtualHost 127.0.0.1:" + kept + ">\n  KeepAlive On\n</VirtualHost>\n" +
          "<VirtualHost 127.0.0.1:" + closed + ">\n  KeepAlive Off\n</VirtualHost>\n" +
          "DocumentRoot " + folder + "www\n<Directory " + folder + "www>\n  Require all granted\n</Directory>\n" +
          "TypesConfig /dev/null\nAddType text/plain .txt\nAddType application/octet-stream .bin\n"
          "AddOutputFilterByType DEFLATE text/plain\n"
          "LogFormat \"%r\\t%>s\\t%{Host}i\\t%{Connection}i\\t%{Accept}i\\t%{User-Agent}i\\t%{Accept-Encoding}i\\t"
          "%{local}p\\t%{Content-Encoding}o\" relay\n"
          "CustomLog " + folder + "access.log relay\n" +
          "<LocationMatch \"^/scripts/\">\n  SetHandler cgi-script\n  Options +ExecCGI\n</LocationMatch>\n"
          "<LocationMatch \"^/bare/\">\n";
  for (const int code : Codes) text += "  ErrorDocument " + std::to_string(code) + " /empty.txt\n";
  text += "</LocationMatch>\n";
  for (const int code : Codes) {
    const std::string c = std::to_string(code);
    text += "Redirect " + c + " /moved/" + c + " /plain.txt\nRedirect " + c + " /bare/" + c + " /plain.txt\n";
  }
  for (int i = 1; i <= 6; ++i) {
    const std::string next = i == 6 ? "/plain.txt" : "/chain/" + std::to_string(i + 1);
    text += "Redirect 302 /chain/" + std::to_string(i) + " " + next + "\n";
  }
  text += "Redirect 302 /cross http://127.0.0.1:" + closed + "/plain.txt\n" +
          "Redirect 302 /tls https://127.0.0.1:1/plain.txt\n";
  server.Write("apache2.conf", text);
  WriteScript(server, "created", "Status: 201 Created\\r\\nLocation: /plain.txt\\r\\nContent-Type: text/plain",
              "Created: entry 1\\r\\n");
  WriteScript(server, "moved", "Status: 307 Temporary Redirect\\r\\nLocation: /plain.txt\\r\\nContent-Type: text/html",
              "<html>moved</html>\\r\\n");
  return {"/usr/sbin/apache2", "-DFOREGROUND", "-f", folder + "apache2.conf"};
}

std::vector<TServerCase> Cases() {
  return {
      // A Location beside a status other than a redirect's is not followed.
      {"created, with a Location", K, "/scripts/created", {{K, "/scripts/created", 201}}, 201, 0, "",
       "Created: entry 1"},
      {"script redirect with a body ended by the close", K, "/scripts/moved",
       {{K, "/scripts/moved", 307}, {K, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
      // Followed to https, where nothing listens (port 1): the delivery fails as refused.
      {"to https", K, "/tls", {{K, "/tls", 302}}, 302, 3, "", "", "refused"},
  };
}

} // namespace

TServerKind ApacheServer() { return {"Apache", Configure, Cases}; }

} // namespace relaybox
