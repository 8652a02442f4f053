#include "model/QNProxy.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"
#include "util/QNDataAdditions.h"
#include "util/QNUtilities.h"

#include <array>

namespace {

// Indexed by QNProxyType - 1.
const std::array<QString, 7>& typeTexts() {
    static const std::array<QString, 7> texts = {
        kQNXMLAttributeValueSOCKS4,
        kQNXMLAttributeValueSOCKS4A,
        kQNXMLAttributeValueSOCKS5,
        kQNXMLAttributeValueHTTPTransparent,
        kQNXMLAttributeValueHTTPNonTransparent,
        kQNXMLAttributeValueHTTPConnect,
        kQNXMLAttributeValueSSHTunnel,
    };
    return texts;
}

// Indexed by QNProxyCipher - 1.
const std::array<QString, 9>& cipherTexts() {
    static const std::array<QString, 9> texts = {
        kQNXMLAttributeValueAES128CBC, kQNXMLAttributeValueAES192CBC,   kQNXMLAttributeValueAES256CBC,
        kQNXMLAttributeValueAES128CTR, kQNXMLAttributeValueAES192CTR,   kQNXMLAttributeValueAES256CTR,
        kQNXMLAttributeValue3DESCBC,   kQNXMLAttributeValue3DESCBCSSH1, kQNXMLAttributeValueBlowfishCBC,
    };
    return texts;
}

// 1-based position of the text in the table ignoring case; 0 when absent or unknown.
template <std::size_t N> quint32 indexOfText(const std::array<QString, N>& texts, const QString& text) {
    if (text.isNull()) {
        return 0;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (texts[i].compare(text, Qt::CaseInsensitive) == 0) {
            return quint32(i + 1);
        }
    }
    return 0;
}

// The key bytes of the last element of that name; an unreadable one leaves no key rather than a stale one.
QByteArray keyOfChildElements(const QNXMLElement& element, const QString& name) {
    QByteArray key;
    if (!element.elements()) {
        return key;
    }
    for (const auto& child : *element.elements()) {
        if (child && child->name().compare(name, Qt::CaseInsensitive) == 0) {
            key = QNDataAdditions::dataWithBase64String(child->data()).value_or(QByteArray());
        }
    }
    return key;
}

} // namespace

std::shared_ptr<QNXMLElement> QNProxy::xmlElement() const {
    QNXMLElement::Attributes attributes;
    if (!_name.isNull()) {
        attributes.insert(kQNXMLAttributeNameName, _name);
    }
    if (_type >= QNProxyTypeSOCKS4 && _type <= QNProxyTypeSSHTunnel) {
        attributes.insert(kQNXMLAttributeNameType, typeTexts()[_type - 1]);
    }
    if (!_host.isNull()) {
        attributes.insert(kQNXMLAttributeNameHost, _host);
    }
    if (_port != 0) {
        attributes.insert(kQNXMLAttributeNamePort, QString::number(_port));
    }
    if (!_username.isNull()) {
        attributes.insert(kQNXMLAttributeNameUsername, _username);
    }
    if (!_password.isNull()) {
        attributes.insert(kQNXMLAttributeNamePassword, _password);
    }
    if (_anonymizeRequests) {
        attributes.insert(kQNXMLAttributeNameAnonymizeRequests, kQNXMLAttributeValueTrue);
    }
    if (_type == QNProxyTypeSSHTunnel) {
        attributes.insert(kQNXMLAttributeNameCipher,
                          _cipher >= QNProxyCipherAES128CBC && _cipher <= QNProxyCipherBlowfishCBC
                              ? cipherTexts()[_cipher - 1]
                              : kQNXMLAttributeValueDefault);
        if (_serverAliveInterval != 0) {
            attributes.insert(kQNXMLAttributeNameServerAliveInterval, QString::number(_serverAliveInterval));
        }
    }

    QNXMLElement::Elements elements;
    if (!_filterPorts.isEmpty()) {
        elements.append(
            QNXMLElement::xmlElementWithTexts(kQNXMLElementNameFilterPorts, kQNXMLElementNamePort, _filterPorts));
    }
    if (!_clientKey.isEmpty()) {
        elements.append(QNXMLElement::xmlElementWithName(kQNXMLElementNameClientKey, std::nullopt, std::nullopt,
                                                         QNDataAdditions::base64String(_clientKey)));
    }
    if (!_serverKey.isEmpty()) {
        elements.append(QNXMLElement::xmlElementWithName(kQNXMLElementNameServerKey, std::nullopt, std::nullopt,
                                                         QNDataAdditions::base64String(_serverKey)));
    }

    return QNXMLElement::xmlElementWithName(kQNXMLElementNameProxy,
                                            attributes.isEmpty() ? std::nullopt : std::optional(attributes),
                                            elements.isEmpty() ? std::nullopt : std::optional(elements), QString());
}

std::shared_ptr<QNProxy> QNProxy::proxyWithXML(const QNXMLElement& element) {
    const quint32 type = indexOfText(typeTexts(), element.attribute(kQNXMLAttributeNameType));
    if (type == 0) {
        return nullptr;
    }

    const auto port = quint16(QNUtilities::integerValue(element.attribute(kQNXMLAttributeNamePort)) & 0xFFFF);
    const bool anonymizeRequests = element.attribute(kQNXMLAttributeNameAnonymizeRequests)
                                       .compare(kQNXMLAttributeValueTrue, Qt::CaseInsensitive) == 0;
    quint32 cipher = QNProxyCipherDefault;
    if (type == QNProxyTypeSSHTunnel) {
        // An older document without the attribute meant the first cipher; "default" and unknown texts mean none.
        cipher = element.hasAttribute(kQNXMLAttributeNameCipher)
                     ? indexOfText(cipherTexts(), element.attribute(kQNXMLAttributeNameCipher))
                     : quint32(QNProxyCipherAES128CBC);
    }
    const qint64 serverAliveInterval =
        QNUtilities::integerValue(element.attribute(kQNXMLAttributeNameServerAliveInterval));

    return proxyWithName(element.attribute(kQNXMLAttributeNameName), type, element.attribute(kQNXMLAttributeNameHost),
                         port, element.attribute(kQNXMLAttributeNameUsername),
                         element.attribute(kQNXMLAttributeNamePassword),
                         element.textsOfChildElements(kQNXMLElementNameFilterPorts, kQNXMLElementNamePort),
                         anonymizeRequests, cipher, keyOfChildElements(element, kQNXMLElementNameClientKey), QString(),
                         keyOfChildElements(element, kQNXMLElementNameServerKey), QString(), serverAliveInterval);
}
