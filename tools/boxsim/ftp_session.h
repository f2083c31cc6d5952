#pragma once
// One FTP control connection of the simulator. The file tree the client sees is
// virtual: "/" holds "etc", "/etc" holds "enigma2", and "/etc/enigma2" with everything
// below it is the served directory. Data transfers use active mode (PORT) or PASV, and
// carry bytes unchanged whatever the transfer type, like the receiver's own server; as
// there, the data connection is made before the 150 reply, and a failed one gets 425, and a
// STOR empties the target file before the first byte arrives.

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/boxsim/net.h"
#include "tools/boxsim/server_context.h"

namespace tapir::boxsim {

class FtpSession {
  public:
    FtpSession(UniqueFd control, const ServerContext& context);

    // Serves the connection until QUIT, the client closes, or the simulator stops.
    void Run();

  private:
    // A path of the virtual tree, as components below "/".
    using VirtualPath = std::vector<std::string>;

    bool Reply(int code, const std::string& text);
    bool Handle(const std::string& verb, const std::string& argument);

    [[nodiscard]] VirtualPath Resolve(const std::string& path) const;
    // The local path of a virtual path inside the served directory, if it is one.
    [[nodiscard]] std::optional<std::string> LocalPath(const VirtualPath& path) const;
    [[nodiscard]] bool IsDirectory(const VirtualPath& path) const;
    [[nodiscard]] std::vector<std::string> EntriesOf(const VirtualPath& dir) const;
    [[nodiscard]] static std::string Display(const VirtualPath& path);

    // Opens the data connection prepared by PORT or PASV; invalid on failure.
    UniqueFd OpenData();
    bool SendList(const std::string& argument, bool long_format);
    bool Retrieve(const std::string& argument);
    bool Store(const std::string& argument);
    bool Passive();
    bool RenameFrom(const std::string& argument);
    bool RenameTo(const std::optional<VirtualPath>& rename_from, const std::string& argument);
    bool Size(const std::string& argument);
    bool Delete(const std::string& argument);
    // The local path of an existing regular file named by a client argument.
    [[nodiscard]] std::optional<std::string> ExistingFile(const std::string& argument) const;
    // The stall fault: holds the data connection open without using it until the client
    // leaves the control connection (or the simulator stops). Always false (session over).
    bool StallUntilClientLeaves(UniqueFd data);

    UniqueFd control_;
    const ServerContext& context_;
    std::optional<sockaddr_in> peer_;
    std::string pending_user_;
    bool logged_in_ = false;
    VirtualPath cwd_;
    std::optional<sockaddr_in> port_address_;  // set by PORT, used by the next transfer
    UniqueFd passive_listener_;                // set by PASV, used by the next transfer
    std::optional<VirtualPath> rename_from_;   // set by RNFR, used by the next RNTO
};

}  // namespace tapir::boxsim
