#include "util/QNStrings.h"

#include <utility>

namespace {

QHash<QString, QString> englishTable() {
    return {
        // proxy types
        {QStringLiteral("SOCKS4"), QStringLiteral("SOCKS 4")},
        {QStringLiteral("SOCKS4a"), QStringLiteral("SOCKS 4a")},
        {QStringLiteral("SOCKS5"), QStringLiteral("SOCKS 5")},
        {QStringLiteral("HTTPTransparent"), QStringLiteral("HTTP (transparent)")},
        {QStringLiteral("HTTPNonTransparent"), QStringLiteral("HTTP (non-transparent)")},
        {QStringLiteral("HTTPConnect"), QStringLiteral("HTTP CONNECT")},
        {QStringLiteral("sshTunnel"), QStringLiteral("SSH tunnel")},
        {QStringLiteral("localhost"), QStringLiteral("localhost")},
        // default profile
        {QStringLiteral("myProxy"), QStringLiteral("My Proxy")},
        {QStringLiteral("private"), QStringLiteral("Private networks")},
        {QStringLiteral("loopback"), QStringLiteral("Loopback")},
        {QStringLiteral("default"), QStringLiteral("Default")},
        // status menu
        {QStringLiteral("connections"), QStringLiteral("Connections")},
        {QStringLiteral("sent"), QStringLiteral("Sent")},
        {QStringLiteral("received"), QStringLiteral("Received")},
        {QStringLiteral("proxyingOff"), QStringLiteral("Proxying Off")},
        {QStringLiteral("statistics"), QStringLiteral("Statistics")},
        {QStringLiteral("preferences"), QStringLiteral("Settings…")},
        {QStringLiteral("quit"), QStringLiteral("Quit Quillon")},
        {QStringLiteral("engineNotRunning"), QStringLiteral("Engine not running")},
        {QStringLiteral("toolTip"), QStringLiteral("Quillon: %1")},
        // profile compilation
        {QStringLiteral("invalidChain"), QStringLiteral("The proxy chain is not valid (at most one HTTP proxy, "
                                                        "last, and at most one SSH tunnel, first)")},
        {QStringLiteral("invalidProxyHost"), QStringLiteral("The proxy server's address cannot be resolved")},
        {QStringLiteral("invalidFilterPort"), QStringLiteral("The filter port is not a port or port range")},
        {QStringLiteral("invalidPort"), QStringLiteral("The rule's port is not a port or port range")},
        {QStringLiteral("ok"), QStringLiteral("OK")},
        // activity log
        {QStringLiteral("log opened"), QStringLiteral("log opened")},
        {QStringLiteral("log closed"), QStringLiteral("log closed")},
        {QStringLiteral("log continued"), QStringLiteral("log continued: earlier lines are in %1")},
        {QStringLiteral("log line cut"), QStringLiteral("[line cut at %1 bytes]")},
        // update check
        {QStringLiteral("updateNeedsUpdate"), QStringLiteral("A newer version of Quillon is available")},
        {QStringLiteral("download"), QStringLiteral("Download")},
        {QStringLiteral("learnMore"), QStringLiteral("Learn More")},
        {QStringLiteral("skipVersion"), QStringLiteral("Skip This Version")},
        // SSH tunnels
        {QStringLiteral("failed"), QStringLiteral("The SSH tunnel failed")},
        {QStringLiteral("serverSocketPortError"), QStringLiteral("no local port could be opened for the tunnel")},
        {QStringLiteral("sshTunnelFailed"), QStringLiteral("the SSH connection was lost")},
        {QStringLiteral("starting"), QStringLiteral("starting")},
        {QStringLiteral("running"), QStringLiteral("running")},
        {QStringLiteral("stopping"), QStringLiteral("stopping")},
        {QStringLiteral("stopped"), QStringLiteral("stopped")},
        {QStringLiteral("failedToCreateSSHSession"), QStringLiteral("the SSH session could not be created")},
        {QStringLiteral("serverKeyFingerprintDoesNotMatch"),
         QStringLiteral("the server's host key does not match the stored server key")},
        {QStringLiteral("authenticationFailedDenied"), QStringLiteral("authentication was denied")},
        {QStringLiteral("authenticationFailedError"), QStringLiteral("authentication failed with an error")},
        {QStringLiteral("authenticationFailedParameter"),
         QStringLiteral("authentication failed: the server asked for something Quillon cannot answer")},
        {QStringLiteral("authenticationFailedNoRouteToHost"),
         QStringLiteral("authentication failed: no route to host")},
        {QStringLiteral("authenticationFailedHostIsDown"), QStringLiteral("authentication failed: host is down")},
        {QStringLiteral("authenticationFailedTimedOut"), QStringLiteral("authentication failed: operation timed out")},
        {QStringLiteral("authenticationFailedInvalidClientKey"),
         QStringLiteral("authentication failed: the client key is unreadable or was refused")},
        {QStringLiteral("authenticationFailed"), QStringLiteral("authentication failed: no usable method")},
        // XML documents
        {QStringLiteral("xmlErrorPosition"), QStringLiteral("Line %1, column %2: %3")},
        {QStringLiteral("xmlErrorTooLarge"), QStringLiteral("The document is larger than %1 bytes.")},
        {QStringLiteral("xmlErrorTooDeep"), QStringLiteral("Elements are nested more than %1 levels deep.")},
        {QStringLiteral("xmlErrorTooManyElements"), QStringLiteral("The document has more than %1 elements.")},
        {QStringLiteral("xmlErrorTooManyAttributes"), QStringLiteral("An element has more than %1 attributes.")},
        {QStringLiteral("xmlErrorTooManyAttributesInDocument"),
         QStringLiteral("The document's elements have too many attributes between them.")},
        {QStringLiteral("xmlErrorDocumentType"), QStringLiteral("Document type declarations are not allowed.")},
        {QStringLiteral("xmlErrorEntityReference"), QStringLiteral("Entity references are not allowed.")},
        {QStringLiteral("xmlErrorNoElement"), QStringLiteral("The document has no element.")},
        {QStringLiteral("xmlErrorInvalidName"), QStringLiteral("\"%1\" is not a valid XML name.")},
        {QStringLiteral("xmlErrorUnreadable"), QStringLiteral("The file cannot be read: %1")},
        {QStringLiteral("xmlErrorEncoding"),
         QStringLiteral("The document's encoding \"%1\" is not supported; save it as UTF-8.")},
        {QStringLiteral("xmlErrorEncodedContent"), QStringLiteral("The document is not valid %1.")},
        // profile checks
        {QStringLiteral("checkWarning"), QStringLiteral("Profile \"%1\", %2: %3")},
        {QStringLiteral("checkItemProxy"), QStringLiteral("proxy \"%1\"")},
        {QStringLiteral("checkItemChain"), QStringLiteral("chain \"%1\"")},
        {QStringLiteral("checkItemRule"), QStringLiteral("rule \"%1\"")},
        {QStringLiteral("checkHostUnresolved"), QStringLiteral("the host \"%1\" does not resolve now")},
        {QStringLiteral("checkPortInvalid"), QStringLiteral("\"%1\" is not a port or port range")},
        {QStringLiteral("checkPortOutOfRange"), QStringLiteral("port %1 is outside 0-65535")},
        {QStringLiteral("checkProxyPort"),
         QStringLiteral("port \"%1\" is not a number in 0-65535; it would be stored as %2")},
        {QStringLiteral("checkProxyMissing"), QStringLiteral("the rule's proxy does not exist; the rule would block")},
        {QStringLiteral("checkProxyTypeUnknown"),
         QStringLiteral("the type \"%1\" is unknown; the proxy would be left out")},
        {QStringLiteral("checkActionUnknown"), QStringLiteral("the action \"%1\" is unknown; the rule would block")},
        // preference file
        {QStringLiteral("preferencesSetAside"),
         QStringLiteral("The preference file %1 could not be read (%2). It was moved to %3 and Quillon continues "
                        "with empty settings.")},
        {QStringLiteral("preferencesUnusable"),
         QStringLiteral("The preference file %1 could not be read (%2) and could not be moved aside (%3). Quillon "
                        "continues with empty settings and leaves the file untouched.")},
    };
}

} // namespace

QNStrings::QNStrings(QHash<QString, QString> table)
    : _table(std::move(table)) {}

const QNStrings& QNStrings::mainBundle() {
    static const QNStrings bundle(englishTable());
    return bundle;
}

QString QNStrings::localizedString(const QString& key) const {
    const auto it = _table.constFind(key);
    if (it == _table.constEnd() || it->isEmpty()) {
        return key;
    }
    return *it;
}
