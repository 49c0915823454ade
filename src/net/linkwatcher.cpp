#include "net/linkwatcher.h"

#include "net/netlogging.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#else
#include <QNetworkInformation>
#endif

namespace Vesk {

namespace {
#ifdef Q_OS_LINUX
// The link states that decide whether peers can be reached through an interface.
constexpr unsigned kStateFlags = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;
constexpr int kReadBufferSize = 16384;
// Interfaces come and go (containers make and drop virtual ones): the states kept are bounded.
constexpr int kMaxInterfaces = 4096;
#endif
} // namespace

LinkWatcher::LinkWatcher(QObject* parent) : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &LinkWatcher::linkChanged);
#ifdef Q_OS_LINUX
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_fd < 0) {
        qCDebug(lcNet) << "cannot open a routing socket: link changes go unnoticed";
        return;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        qCDebug(lcNet) << "cannot listen to link changes:" << errno;
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    // The states of the links as they are now, so that only later changes count. The answer comes in parts like
    // the events and is read with them.
    struct
    {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.link.ifi_family = AF_UNSPEC;
    if (::send(m_fd, &request, sizeof request, 0) < 0)
        qCDebug(lcNet) << "cannot read the links' states:" << errno;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinkWatcher::readEvents);
    m_watching = true;
#else
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                &LinkWatcher::noteChange);
        m_watching = true;
    }
#endif
}

LinkWatcher::~LinkWatcher()
{
#ifdef Q_OS_LINUX
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void LinkWatcher::noteChange()
{
    m_settle.start();
}

void LinkWatcher::readEvents()
{
#ifdef Q_OS_LINUX
    QByteArray buffer(kReadBufferSize, Qt::Uninitialized);
    bool changed = false;
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer.data(), size_t(buffer.size()), 0);
        if (got < 0) {
            // The kernel dropped events it could not queue: something changed, we cannot tell what.
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            break; // EAGAIN: all read
        }
        if (got == 0)
            break;
        changed = isLinkChange(QByteArray::fromRawData(buffer.constData(), int(got)), m_flags) || changed;
    }
    if (changed)
        noteChange();
#endif
}

bool LinkWatcher::isLinkChange(const QByteArray& messages, QHash<int, unsigned>& flags)
{
#ifdef Q_OS_LINUX
    bool changed = false;
    int offset = 0;
    while (messages.size() - offset >= int(sizeof(nlmsghdr))) {
        nlmsghdr header;
        memcpy(&header, messages.constData() + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > unsigned(messages.size() - offset))
            break;
        const char* payload = messages.constData() + offset + NLMSG_HDRLEN;
        const unsigned payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
        if ((header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK) &&
            payloadSize >= sizeof(ifinfomsg)) {
            ifinfomsg link;
            memcpy(&link, payload, sizeof link);
            const unsigned state = header.nlmsg_type == RTM_DELLINK ? 0 : link.ifi_flags & kStateFlags;
            const auto known = flags.constFind(link.ifi_index);
            // Parts of an answer to our question (NLM_F_MULTI) tell how things are; events tell what changed.
            if (!(header.nlmsg_flags & NLM_F_MULTI) && (known == flags.cend() || known.value() != state))
                changed = true;
            if (header.nlmsg_type == RTM_DELLINK)
                flags.remove(link.ifi_index);
            else if (flags.size() < kMaxInterfaces || known != flags.cend())
                flags.insert(link.ifi_index, state);
        } else if ((header.nlmsg_type == RTM_NEWADDR || header.nlmsg_type == RTM_DELADDR) &&
                   payloadSize >= sizeof(ifaddrmsg)) {
            ifaddrmsg address;
            memcpy(&address, payload, sizeof address);
            if (address.ifa_family == AF_INET)
                changed = true;
        }
        offset += int(NLMSG_ALIGN(header.nlmsg_len));
    }
    return changed;
#else
    Q_UNUSED(messages)
    Q_UNUSED(flags)
    return false;
#endif
}

} // namespace Vesk
