#include "settings/QNSettingsStrings.h"

namespace {

QHash<QString, QString> englishTable() {
    return {
        {QStringLiteral("windowTitle"), QStringLiteral("Quillon Settings")},
        {QStringLiteral("profiles"), QStringLiteral("Profiles")},
        {QStringLiteral("proxies"), QStringLiteral("Proxies")},
        {QStringLiteral("rules"), QStringLiteral("Rules")},
        {QStringLiteral("dns"), QStringLiteral("DNS")},
        {QStringLiteral("general"), QStringLiteral("General")},
        {QStringLiteral("add"), QStringLiteral("&Add")},
        {QStringLiteral("addChain"), QStringLiteral("Add C&hain")},
        {QStringLiteral("duplicate"), QStringLiteral("D&uplicate")},
        {QStringLiteral("rename"), QStringLiteral("Re&name…")},
        {QStringLiteral("remove"), QStringLiteral("&Remove")},
        {QStringLiteral("deleteProfile"), QStringLiteral("De&lete")},
        {QStringLiteral("import"), QStringLiteral("&Import…")},
        {QStringLiteral("export"), QStringLiteral("E&xport…")},
        {QStringLiteral("activate"), QStringLiteral("Ac&tivate")},
        {QStringLiteral("deactivate"), QStringLiteral("Switch O&ff")},
        {QStringLiteral("moveUp"), QStringLiteral("Move &Up")},
        {QStringLiteral("moveDown"), QStringLiteral("Move &Down")},
        {QStringLiteral("save"), QStringLiteral("&Save")},
        {QStringLiteral("revert"), QStringLiteral("Re&vert")},
        {QStringLiteral("uninstall"), QStringLiteral("Uninstall…")},
        {QStringLiteral("choose"), QStringLiteral("Choose…")},
        {QStringLiteral("clear"), QStringLiteral("Clear")},
        {QStringLiteral("name"), QStringLiteral("Name:")},
        {QStringLiteral("type"), QStringLiteral("Type:")},
        {QStringLiteral("host"), QStringLiteral("Host:")},
        {QStringLiteral("port"), QStringLiteral("Port:")},
        {QStringLiteral("username"), QStringLiteral("User name:")},
        {QStringLiteral("password"), QStringLiteral("Password:")},
        {QStringLiteral("filterPorts"), QStringLiteral("Ports sent through it:")},
        {QStringLiteral("anonymize"), QStringLiteral("Anonymise requests")},
        {QStringLiteral("cipher"), QStringLiteral("Cipher:")},
        {QStringLiteral("keepAlive"), QStringLiteral("Keep-alive (seconds):")},
        {QStringLiteral("clientKey"), QStringLiteral("Client key:")},
        {QStringLiteral("clientKeyPassphrase"), QStringLiteral("Client key passphrase:")},
        {QStringLiteral("serverKey"), QStringLiteral("Server key:")},
        {QStringLiteral("serverKeyPassphrase"), QStringLiteral("Server key passphrase:")},
        {QStringLiteral("fingerprint"), QStringLiteral("Server key fingerprint:")},
        {QStringLiteral("noKey"), QStringLiteral("(none)")},
        {QStringLiteral("keyLoaded"), QStringLiteral("%1 bytes")},
        {QStringLiteral("members"), QStringLiteral("Members, first contacted first:")},
        {QStringLiteral("addMember"), QStringLiteral("Add Member")},
        {QStringLiteral("openChain"), QStringLiteral("Open chain")},
        {QStringLiteral("applications"), QStringLiteral("Applications:")},
        {QStringLiteral("hosts"), QStringLiteral("Hosts:")},
        {QStringLiteral("ports"), QStringLiteral("Ports:")},
        {QStringLiteral("action"), QStringLiteral("Action:")},
        {QStringLiteral("via"), QStringLiteral("Proxy or chain:")},
        {QStringLiteral("enabled"), QStringLiteral("Enabled")},
        {QStringLiteral("resolve"), QStringLiteral("Resolve:")},
        {QStringLiteral("resolveLocal"), QStringLiteral("Locally")},
        {QStringLiteral("resolveRemote"), QStringLiteral("Remotely, through the proxy")},
        {QStringLiteral("actionProxy"), QStringLiteral("Through a proxy")},
        {QStringLiteral("actionDirect"), QStringLiteral("Direct")},
        {QStringLiteral("actionBlock"), QStringLiteral("Block")},
        {QStringLiteral("cipherDefault"), QStringLiteral("Default")},
        {QStringLiteral("logging"), QStringLiteral("Write an activity log")},
        {QStringLiteral("statusIcon"), QStringLiteral("Show the status icon")},
        {QStringLiteral("updateCheck"), QStringLiteral("Check for updates every week")},
        {QStringLiteral("sshVerbosity"), QStringLiteral("SSH log detail:")},
        {QStringLiteral("stayOn"), QStringLiteral("Keep the active profile after tunnel failures and restarts")},
        {QStringLiteral("liveStatistics"), QStringLiteral("Active profile")},
        {QStringLiteral("agentNotRunning"), QStringLiteral("The agent is not running.")},
        {QStringLiteral("noActiveProfile"), QStringLiteral("No profile is active.")},
        {QStringLiteral("newProfile"), QStringLiteral("New Profile")},
        {QStringLiteral("copyOf"), QStringLiteral("%1 copy")},
        {QStringLiteral("newProxy"), QStringLiteral("New Proxy")},
        {QStringLiteral("newChain"), QStringLiteral("New Chain")},
        {QStringLiteral("newRule"), QStringLiteral("New Rule")},
        {QStringLiteral("newDNS"), QStringLiteral("New DNS Entry")},
        {QStringLiteral("wouldNotCompile"), QStringLiteral("This profile would not compile, because %1")},
        {QStringLiteral("invalidPortField"), QStringLiteral("Not a port from 0 to 65535.")},
        {QStringLiteral("invalidPortList"),
         QStringLiteral("\"%1\" is not a port or a range of ports from 0 to 65535.")},
        {QStringLiteral("invalidHostField"), QStringLiteral("\"%1\" does not resolve now.")},
        {QStringLiteral("emptyHostField"), QStringLiteral("A host is needed.")},
        {QStringLiteral("invalidInterval"), QStringLiteral("Not a number of seconds from 0 upwards.")},
        {QStringLiteral("invalidChainField"),
         QStringLiteral("A chain holds at most one SSH tunnel, first, and at most one HTTP proxy, last.")},
        {QStringLiteral("emptyName"), QStringLiteral("The name cannot be empty.")},
        {QStringLiteral("noIdentifier"), QStringLiteral("No profile identifier is left.")},
        {QStringLiteral("noProfilesInDocument"), QStringLiteral("The document holds no profile.")},
        {QStringLiteral("wrongRoot"), QStringLiteral("The document's root element is <%1>, not <profiles>.")},
        {QStringLiteral("importWarnings"), QStringLiteral("Reading this document would change what it says:")},
        {QStringLiteral("importAnyway"), QStringLiteral("Import it all the same?")},
        {QStringLiteral("unknownProfile"), QStringLiteral("The profile no longer exists.")},
        {QStringLiteral("conflictTitle"), QStringLiteral("Profile changed elsewhere")},
        {QStringLiteral("conflictText"),
         QStringLiteral("Profile %1 was changed outside this window while you were editing it.")},
        {QStringLiteral("conflictQuestion"), QStringLiteral("Keep your changes and replace the other ones, or drop "
                                                            "your changes and show the stored profile?")},
        {QStringLiteral("keepMine"), QStringLiteral("Keep Mine")},
        {QStringLiteral("dropMine"), QStringLiteral("Drop Mine")},
        {QStringLiteral("uninstallQuestion"),
         QStringLiteral("Switch proxying off and remove Quillon from this computer?")},
        {QStringLiteral("pendingChanges"), QStringLiteral("Unsaved changes")},
        {QStringLiteral("saved"), QStringLiteral("Saved.")},
        {QStringLiteral("keyFiles"), QStringLiteral("Key files (*)")},
        {QStringLiteral("xmlFiles"), QStringLiteral("Profile documents (*.xml);;All files (*)")},
        {QStringLiteral("keyUnreadable"), QStringLiteral("The key cannot be read: %1")},
        {QStringLiteral("fingerprintNeedsPassphrase"), QStringLiteral("(the key needs its passphrase)")},
        {QStringLiteral("fingerprintUnknown"), QStringLiteral("(not a key this program reads)")},
    };
}

} // namespace

namespace QNSettingsStrings {

const QNStrings& bundle() {
    static const QNStrings table(englishTable());
    return table;
}

QString text(const char* key) {
    const QString name = QLatin1StringView(key);
    const QString own = bundle().localizedString(name);
    return own == name ? QNLocalizedString(name) : own;
}

} // namespace QNSettingsStrings
