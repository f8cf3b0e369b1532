#pragma once

#include <QString>

#include <sys/types.h>

// Where the panel's control socket lives and who may trust it. The panel, mirastellon-ctl and
// mirastellon-tango link this one helper, so that an unconfigured client finds an unconfigured
// panel, and none of them talks to a socket another local user put in its way.
namespace SocketPath {

// $XDG_RUNTIME_DIR/mirastellon.sock where that variable names an absolute folder, else
// mirastellon.sock in the private folder mirastellon-UID of the temporary folder ($TMPDIR or
// /tmp). Computes the name only; prepareDefaultFolder() makes it usable.
QString defaultPath();

// The folder defaultPath() lies in, and whether the panel made it (the temporary folder's
// mirastellon-UID) or the session did ($XDG_RUNTIME_DIR).
QString defaultFolder();

enum class FolderAction { CheckOnly, Create };
// Makes sure the default socket's folder belongs to this user and nobody else can reach into
// it. With Create, a missing private folder is made, mode 0700. Returns why the folder cannot
// be used (naming the path and what is wrong), or an empty string. A folder that does not exist
// is no problem with CheckOnly: the client then finds no panel.
QString prepareDefaultFolder(FolderAction action);

// Checks a private folder with lstat: a folder, not a link, owned by uid, mode 0700.
QString privateFolderProblem(const QString &folder, uid_t uid);

// The longest path a socket address holds, in bytes, without the closing zero.
int maxPathBytes();
// Why path cannot name a socket (it is too long for the system), or an empty string.
QString lengthProblem(const QString &path);

// For a client, before it sends anything: the file at path is a socket owned by this user
// (lstat: a link there is refused too). Empty when it is, or when there is nothing at path (the
// connection then fails by itself).
QString socketOwnerProblem(const QString &path);

// For either end of a connected socket: the user id of the process at the other end, or -1.
qint64 peerUid(int fd);
// For a client, after connecting: the process that listens at path runs as this user.
QString peerProblem(int fd, const QString &path);

} // namespace SocketPath
