#pragma once

// Every named constant of Quillon, grouped by the start of its name.

#include <QString>
#include <QtGlobal>

// Application
inline constexpr quint32 kQNApplicationBufferSize = 1024;
inline constexpr quint32 kQNApplicationRetryCount = 1;
// How often the agent tries the engine's control socket again while it cannot be reached.
inline constexpr int kQNApplicationEngineRetryMilliseconds = 3000;
inline const QString kQNApplicationServerName = QStringLiteral("com.fernhollowsoftware.quillon");
inline const QString kQNApplicationLogsDirectoryPath = QStringLiteral("/Logs/");
inline const QString kQNApplicationLogFileName = QStringLiteral("Quillon.log");
// The activity log keeps one earlier file under this suffix once the current one is full.
inline const QString kQNApplicationLogPreviousFileSuffix = QStringLiteral(".1");
// Longest line written to the activity log (bytes, timestamp and line end included), and the size at which
// the log starts a new file.
inline constexpr qint64 kQNApplicationLogMaximumLineLength = 16 * 1024;
inline constexpr qint64 kQNApplicationLogMaximumFileSize = 64 * 1024 * 1024;
inline const QString kQNApplicationPreferencePanePath = QStringLiteral("/Library/PreferencePanes/Quillon.prefPane");
inline const QString kQNApplicationDNSCacheUtilPath = QStringLiteral("/usr/bin/killall");
inline const QString kQNApplicationDNSCacheUtilArgumentFlushCache = QStringLiteral("mDNSResponder");
inline const QString kQNApplicationUninstallScriptLaunchPath =
    QStringLiteral("/Library/PreferencePanes/Quillon.prefPane/Contents/Resources/uninstall.sh");
inline const QString kQNApplicationScriptTerminate =
    QStringLiteral("do shell script \"%1\" with administrator privileges");
inline const QString kQNApplicationProductName = QStringLiteral("Quillon");

// Kernel-control address: the four characters 'QNxC' read as a big-endian number, unit 0.
inline constexpr quint32 kQNKernelControlIdentifier = 0x514E7843;
inline constexpr quint32 kQNKernelControlUnit = 0;
inline constexpr quint32 kQNKernelOptionProfile = 0;
inline constexpr quint32 kQNKernelOptionLogging = 1;

// Update check
inline constexpr double kQNUpdateCheckTimeInterval = 604800.0;
inline constexpr double kQNUpdateMinimumTimeInterval = 30.0;
inline constexpr double kQNUtilitiesCheckForUpdateTimeout = 60.0;
inline const QString kQNCheckForUpdateFileName = QStringLiteral("QuillonUpdateCheck");
inline const QString kQNURLBase = QStringLiteral("https://www.fernhollowsoftware.com");
inline const QString kQNURLCheckForUpdate = QStringLiteral("https://www.fernhollowsoftware.com/update/quillon/2.txt");
inline const QString kQNURLDownload = QStringLiteral("https://www.fernhollowsoftware.com/download/");
inline const QString kQNURLLearnMore = QStringLiteral("https://www.fernhollowsoftware.com/quillon/");
// The most of a version file that is read: a body any longer is not a version file.
inline constexpr qint64 kQNUpdateCheckMaximumLength = 4096;
// The highest number a temporary file name for the download may carry ("QuillonUpdateCheck-99").
inline constexpr int kQNUpdateCheckFileNumberMaximum = 99;

// Preference store defaults
inline constexpr bool kQNDefaultEnableLogging = false;
inline constexpr bool kQNDefaultShowInMenuBar = true;
inline constexpr bool kQNDefaultCheckForUpdates = true;
inline constexpr quint32 kQNDefaultSSHTunnelLogVerbosity = 0;

// Preference store keys
inline const QString kQNUserDefaultProfiles = QStringLiteral("profiles");
inline const QString kQNUserDefaultActiveProfileIdentifier = QStringLiteral("activeProfileIdentifier");
inline const QString kQNUserDefaultEnableLogging = QStringLiteral("enableLogging");
inline const QString kQNUserDefaultShowInMenuBar = QStringLiteral("showInMenuBar");
inline const QString kQNUserDefaultCheckForUpdates = QStringLiteral("checkForUpdates");
inline const QString kQNUserDefaultSSHTunnelLogVerbosity = QStringLiteral("sshTunnelVerbosity");
inline const QString kQNUserDefaultNextUpdateCheckDate = QStringLiteral("nextUpdateCheckDate");
inline const QString kQNUserDefaultSkipUpdateVersion = QStringLiteral("skipUpdateVersion");
inline const QString kQNUserDefaultSafety = QStringLiteral("safety");
inline const QString kQNUserDefaultSafetyOverride = QStringLiteral("safetyOverride");

// Notifications exchanged with the settings tool
inline const QString kQNNotificationActiveProfileIdentifier = QStringLiteral("activeProfileIdentifier");
inline const QString kQNNotificationProfiles = QStringLiteral("profiles");
inline const QString kQNNotificationSettings = QStringLiteral("settings");
inline const QString kQNNotificationTerminate = QStringLiteral("terminate");
inline const QString kQNNotificationTerminateComplete = QStringLiteral("terminateComplete");
inline const QString kQNNotificationIdentifierApplication = QStringLiteral("com.fernhollowsoftware.quillon");
inline const QString kQNNotificationIdentifierPreferencePane =
    QStringLiteral("com.fernhollowsoftware.quillon.prefpane");

// Profile defaults
inline const QString kQNProfileProxyServerDefault = QStringLiteral("proxy.example.net");
inline const QString kQNProfileRuleIPRange1 = QStringLiteral("10.0.0.0-10.255.255.255");
inline const QString kQNProfileRuleIPRange2 = QStringLiteral("169.254.0.0-169.254.255.255");
inline const QString kQNProfileRuleIPRange3 = QStringLiteral("172.16.0.0-172.31.255.255");
inline const QString kQNProfileRuleIPRange4 = QStringLiteral("192.168.0.0-192.168.255.255");
inline const QString kQNProfileRuleIPRange5 = QStringLiteral("fd00::-fdff::");
inline const QString kQNProfileRuleIPv4 = QStringLiteral("127.0.0.1");
inline const QString kQNProfileRuleIPv6 = QStringLiteral("::1");

// Proxy defaults
inline const QString kQNProxyHTTPPortDefault = QStringLiteral("80");
inline const QString kQNProxyHTTPPortSecure = QStringLiteral("443");
inline const QString kQNProxyHTTPPortAlternate = QStringLiteral("8080");

// Settings dictionaries
inline const QString kQNSettingsKeyName = QStringLiteral("name");
inline const QString kQNSettingsKeyType = QStringLiteral("type");
inline const QString kQNSettingsKeyHost = QStringLiteral("host");
inline const QString kQNSettingsKeyPort = QStringLiteral("port");
inline const QString kQNSettingsKeyUsername = QStringLiteral("username");
inline const QString kQNSettingsKeyPassword = QStringLiteral("password");
inline const QString kQNSettingsKeyFilterPorts = QStringLiteral("filterPorts");
inline const QString kQNSettingsKeyAnonymizeRequests = QStringLiteral("anonymizeRequests");
inline const QString kQNSettingsKeyCipher = QStringLiteral("cipher");
inline const QString kQNSettingsKeyClientKey = QStringLiteral("clientKey");
inline const QString kQNSettingsKeyClientKeyPassphrase = QStringLiteral("clientKeyPassphrase");
inline const QString kQNSettingsKeyServerKey = QStringLiteral("serverKey");
inline const QString kQNSettingsKeyServerKeyPassphrase = QStringLiteral("serverKeyPassphrase");
inline const QString kQNSettingsKeyServerAliveInterval = QStringLiteral("serverAliveInterval");
inline const QString kQNSettingsKeyKind = QStringLiteral("kind");
inline const QString kQNSettingsKeyProxies = QStringLiteral("proxies");
inline const QString kQNSettingsKeyOpen = QStringLiteral("open");
inline const QString kQNSettingsKeyApplications = QStringLiteral("applications");
inline const QString kQNSettingsKeyHosts = QStringLiteral("hosts");
inline const QString kQNSettingsKeyPorts = QStringLiteral("ports");
inline const QString kQNSettingsKeyAction = QStringLiteral("action");
inline const QString kQNSettingsKeyEnabled = QStringLiteral("enabled");
inline const QString kQNSettingsKeyResolve = QStringLiteral("resolve");
inline const QString kQNSettingsKeyRules = QStringLiteral("rules");
inline const QString kQNSettingsKeyDNS = QStringLiteral("dns");
inline const QString kQNSettingsKeyIdentifier = QStringLiteral("identifier");
inline const QString kQNSettingsKeyProxyIndex = QStringLiteral("proxyIndex");
inline const QString kQNSettingsKeyDomain = QStringLiteral("domain");
inline const QString kQNSettingsKeyOrder = QStringLiteral("order");
inline const QString kQNSettingsValueProxy = QStringLiteral("proxy");
inline const QString kQNSettingsValueChain = QStringLiteral("chain");

// XML element names
inline const QString kQNXMLElementNameProfiles = QStringLiteral("profiles");
inline const QString kQNXMLElementNameProfile = QStringLiteral("profile");
inline const QString kQNXMLElementNameProxies = QStringLiteral("proxies");
inline const QString kQNXMLElementNameProxy = QStringLiteral("proxy");
inline const QString kQNXMLElementNameProxyChain = QStringLiteral("proxyChain");
inline const QString kQNXMLElementNameRules = QStringLiteral("rules");
inline const QString kQNXMLElementNameRule = QStringLiteral("rule");
inline const QString kQNXMLElementNameDNS = QStringLiteral("dns");
inline const QString kQNXMLElementNameDNSItem = QStringLiteral("dnsItem");
inline const QString kQNXMLElementNameFilterPorts = QStringLiteral("filterPorts");
inline const QString kQNXMLElementNamePort = QStringLiteral("port");
inline const QString kQNXMLElementNameClientKey = QStringLiteral("clientKey");
inline const QString kQNXMLElementNameServerKey = QStringLiteral("serverKey");
inline const QString kQNXMLElementNameApplications = QStringLiteral("applications");
inline const QString kQNXMLElementNameApplication = QStringLiteral("application");
inline const QString kQNXMLElementNameHosts = QStringLiteral("hosts");
inline const QString kQNXMLElementNameHost = QStringLiteral("host");
inline const QString kQNXMLElementNamePorts = QStringLiteral("ports");

// XML attribute names
inline const QString kQNXMLAttributeNameName = QStringLiteral("name");
inline const QString kQNXMLAttributeNameIdentifier = QStringLiteral("identifier");
inline const QString kQNXMLAttributeNameType = QStringLiteral("type");
inline const QString kQNXMLAttributeNameHost = QStringLiteral("host");
inline const QString kQNXMLAttributeNamePort = QStringLiteral("port");
inline const QString kQNXMLAttributeNameUsername = QStringLiteral("username");
inline const QString kQNXMLAttributeNamePassword = QStringLiteral("password");
inline const QString kQNXMLAttributeNameAnonymizeRequests = QStringLiteral("anonymizeRequests");
inline const QString kQNXMLAttributeNameCipher = QStringLiteral("cipher");
inline const QString kQNXMLAttributeNameServerAliveInterval = QStringLiteral("serverAliveInterval");
inline const QString kQNXMLAttributeNameOrder = QStringLiteral("order");
inline const QString kQNXMLAttributeNameAction = QStringLiteral("action");
inline const QString kQNXMLAttributeNameEnabled = QStringLiteral("enabled");
inline const QString kQNXMLAttributeNameProxyIdentifier = QStringLiteral("proxyIdentifier");
inline const QString kQNXMLAttributeNameResolve = QStringLiteral("resolve");

// XML attribute values
inline const QString kQNXMLAttributeValueSOCKS4 = QStringLiteral("socks4");
inline const QString kQNXMLAttributeValueSOCKS4A = QStringLiteral("socks4a");
inline const QString kQNXMLAttributeValueSOCKS5 = QStringLiteral("socks5");
inline const QString kQNXMLAttributeValueHTTPTransparent = QStringLiteral("httpTransparent");
inline const QString kQNXMLAttributeValueHTTPNonTransparent = QStringLiteral("httpNonTransparent");
inline const QString kQNXMLAttributeValueHTTPConnect = QStringLiteral("httpConnect");
inline const QString kQNXMLAttributeValueSSHTunnel = QStringLiteral("sshTunnel");
inline const QString kQNXMLAttributeValueDefault = QStringLiteral("default");
inline const QString kQNXMLAttributeValueAES128CBC = QStringLiteral("aes128-cbc");
inline const QString kQNXMLAttributeValueAES192CBC = QStringLiteral("aes192-cbc");
inline const QString kQNXMLAttributeValueAES256CBC = QStringLiteral("aes256-cbc");
inline const QString kQNXMLAttributeValueAES128CTR = QStringLiteral("aes128-ctr");
inline const QString kQNXMLAttributeValueAES192CTR = QStringLiteral("aes192-ctr");
inline const QString kQNXMLAttributeValueAES256CTR = QStringLiteral("aes256-ctr");
inline const QString kQNXMLAttributeValue3DESCBC = QStringLiteral("3des-cbc");
inline const QString kQNXMLAttributeValue3DESCBCSSH1 = QStringLiteral("3des-cbc-ssh1");
inline const QString kQNXMLAttributeValueBlowfishCBC = QStringLiteral("blowfish-cbc");
inline const QString kQNXMLAttributeValueProxy = QStringLiteral("proxy");
inline const QString kQNXMLAttributeValueDirect = QStringLiteral("direct");
inline const QString kQNXMLAttributeValueBlock = QStringLiteral("block");
inline const QString kQNXMLAttributeValueLocal = QStringLiteral("local");
inline const QString kQNXMLAttributeValueRemote = QStringLiteral("remote");
inline const QString kQNXMLAttributeValueTrue = QStringLiteral("true");
inline const QString kQNXMLAttributeValueFalse = QStringLiteral("false");

// Key fingerprints
inline const QString kQNFingerprintTypeStringRSA1 = QStringLiteral("rsa1");
inline const QString kQNFingerprintTypeStringRSA = QStringLiteral("rsa");
inline const QString kQNFingerprintTypeStringSSHRSA = QStringLiteral("ssh-rsa");
inline const QString kQNFingerprintTypeStringDSA = QStringLiteral("dsa");
inline const QString kQNFingerprintTypeStringSSHDSS = QStringLiteral("ssh-dss");
inline const QString kQNFingerprintTypeStringSSHRSACertificateV0 = QStringLiteral("ssh-rsa-cert-v00@openssh.com");
inline const QString kQNFingerprintTypeStringSSHDSSCertificateV0 = QStringLiteral("ssh-dss-cert-v00@openssh.com");
inline const QString kQNFingerprintTypeStringSSHRSACertificateV1 = QStringLiteral("ssh-rsa-cert-v01@openssh.com");
inline const QString kQNFingerprintTypeStringSSHDSSCertificateV1 = QStringLiteral("ssh-dss-cert-v01@openssh.com");
inline const QString kQNFingerprintTypeStringSSHEd25519 = QStringLiteral("ssh-ed25519");
inline const QString kQNFingerprintTypeStringECDSA256 = QStringLiteral("ecdsa-sha2-nistp256");
inline const QString kQNFingerprintTypeStringECDSA384 = QStringLiteral("ecdsa-sha2-nistp384");
inline const QString kQNFingerprintTypeStringECDSA521 = QStringLiteral("ecdsa-sha2-nistp521");
inline const QString kQNFingerprintTypeStringSSHEd25519CertificateV1 =
    QStringLiteral("ssh-ed25519-cert-v01@openssh.com");
inline const QString kQNFingerprintTypeStringECDSA256CertificateV1 =
    QStringLiteral("ecdsa-sha2-nistp256-cert-v01@openssh.com");
inline const QString kQNFingerprintTypeStringECDSA384CertificateV1 =
    QStringLiteral("ecdsa-sha2-nistp384-cert-v01@openssh.com");
inline const QString kQNFingerprintTypeStringECDSA521CertificateV1 =
    QStringLiteral("ecdsa-sha2-nistp521-cert-v01@openssh.com");
inline const QString kQNFingerprintPrivateKeyString = QStringLiteral("SSH PRIVATE KEY FILE FORMAT 1.1\n");

// SSH tunnels
inline constexpr quint32 kQNSSHTunnelConnectionChunkSizeMaximum = 8192;
inline constexpr long kQNSSHTunnelSessionTimeout = 10;
inline constexpr int kQNSSHTunnelSessionVersion2 = 2;
inline constexpr double kQNSSHTunnelSessionRunLoopTimeIntervalIdle = 0.1;
inline constexpr double kQNSSHTunnelSessionRunLoopTimeIntervalWork = 0.0005;
inline const QString kQNSSHTunnelSessionInteractivePassword = QStringLiteral("assword:");
inline const QString kQNSSHTunnelSessionInteractiveYesNo = QStringLiteral("(yes/no)?");
inline const QString kQNSSHTunnelSessionInteractiveYes = QStringLiteral("yes");
inline const QString kQNSSHTunnelSessionInteractiveNoRouteToHost = QStringLiteral("No route to host");
inline const QString kQNSSHTunnelSessionInteractiveHostIsDown = QStringLiteral("Host is down");
inline const QString kQNSSHTunnelSessionInteractiveOperationTimedOut = QStringLiteral("Operation timed out");
inline const QString kQNSSHTunnelSessionCipherAES128CBC = QStringLiteral("aes128-cbc");
inline const QString kQNSSHTunnelSessionCipherAES192CBC = QStringLiteral("aes192-cbc");
inline const QString kQNSSHTunnelSessionCipherAES256CBC = QStringLiteral("aes256-cbc");
inline const QString kQNSSHTunnelSessionCipherAES128CTR = QStringLiteral("aes128-ctr");
inline const QString kQNSSHTunnelSessionCipherAES192CTR = QStringLiteral("aes192-ctr");
inline const QString kQNSSHTunnelSessionCipherAES256CTR = QStringLiteral("aes256-ctr");
inline const QString kQNSSHTunnelSessionCipher3DESCBC = QStringLiteral("3des-cbc");
inline const QString kQNSSHTunnelSessionCipher3DESCBCSSH1 = QStringLiteral("3des-cbc-ssh1");
inline const QString kQNSSHTunnelSessionCipherBlowfishCBC = QStringLiteral("blowfish-cbc");
// The session loop blocks until a socket is ready instead of turning in fixed slices.
// Rounds of packet processing per wake-up (libssh reads the socket 4 KiB at a time).
inline constexpr int kQNSSHTunnelSessionPumpRounds = 64;
// Clients accepted per wake-up, so a flood of connections cannot starve the ones already served.
inline constexpr int kQNSSHTunnelSessionAcceptsPerWake = 64;
// Each direction of a client connection buffers at most this much; a full buffer stops reading that side.
inline constexpr qsizetype kQNSSHTunnelConnectionBufferSizeMaximum = 256 * 1024;
// A SOCKS header that is not complete within this many bytes is not a SOCKS header.
inline constexpr qsizetype kQNSSHTunnelConnectionHeaderSizeMaximum = 8192;
// Keyboard-interactive rounds before the server is taken to be stalling.
inline constexpr int kQNSSHTunnelSessionInteractiveRoundsMaximum = 32;

// Encodings and temporary files
inline const QString kQNDataAdditionsBase64Encoding =
    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
inline const QString kQNRUtilitiesTempFileName = QStringLiteral("QNTempFile");
