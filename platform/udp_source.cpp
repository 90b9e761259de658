// The UDP source: a UdpSocket bound to the receiving port, on every system; source keys.
#include <system_error>

#include "checked.h"
#include "sockets.h"
#include "source.h"

namespace Kor::Platform {

namespace {

class UdpSource final : public Source {
public:
    UdpSource(std::unique_ptr<UdpSocket> socket, std::string description)
        : socket_(std::move(socket)), description_(std::move(description)) {}

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        DatagramOrigin origin;
        const ReadResult result = socket_->Receive(buffer, timeout, origin);
        if (result == ReadResult::Data) {
            origin_ = origin;
        }
        return result;
    }

    bool Datagrams() const override { return true; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return description_ + ": " + socket_->ErrorText(); }
    std::optional<DatagramOrigin> LastOrigin() const override { return origin_; }

private:
    std::unique_ptr<UdpSocket> socket_;
    std::string description_;
    std::optional<DatagramOrigin> origin_;
};

}  // namespace

std::string SourceKey::Sender() const {
    if (address == 0 && port == 0) {
        return "serial";
    }
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFFU) + "." +
           std::to_string((address >> 8) & 0xFFU) + "." + std::to_string(address & 0xFFU) + ":" +
           std::to_string(port);
}

Checked OpenUdpSource(const std::string& address, std::uint16_t port,
                      std::unique_ptr<Source>& source, const std::optional<GroupMembership>& join) {
    std::unique_ptr<UdpSocket> socket;
    try {
        socket = std::make_unique<UdpSocket>("cannot open a UDP socket for port " +
                                             std::to_string(port));
    } catch (const std::system_error& failure) {
        return Checked::Refused(failure.what());
    }
    if (const int code = socket->Bind(address, port); code != 0) {
        return Checked::Refused("cannot bind UDP port " + std::to_string(port) + " on " + address +
                                ": " + SocketErrorText(code));
    }
    socket->PrepareToReceive();
    std::string description = "UDP " + address + ":" + std::to_string(socket->LocalPort());
    if (join) {
        if (const int code = socket->JoinGroup(join->group, join->interface); code != 0) {
            return Checked::Refused("cannot join multicast group " + join->group +
                                    " on interface " + join->interface + ": " +
                                    SocketErrorText(code));
        }
        description += ", group " + join->group + " on " + join->interface;
    }
    source = std::make_unique<UdpSource>(std::move(socket), std::move(description));
    return {};
}

}  // namespace Kor::Platform
