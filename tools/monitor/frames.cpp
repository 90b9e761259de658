// Frame boundaries as the monitor sees them: datagram records and serial unstuffing.
#include "frames.h"

namespace KorMonitor {

using Kor::Protocol::MessageType;

bool IsDatagram(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 3 && bytes[0] == 0x00 && bytes[1] == 0xFF && bytes[2] == 0x00;
}

std::vector<MessageType> ListRecordTypes(std::span<const std::uint8_t> records) {
    std::vector<MessageType> types;
    std::size_t pos = 0;
    // A record needs its type and length bytes; its payload may be cut short by the end.
    while (records.size() - pos >= 2) {
        types.push_back(static_cast<MessageType>(records[pos]));
        const std::size_t payload = std::size_t{records[pos + 1]} + 1;
        const std::size_t left = records.size() - pos - 2;
        pos += 2 + (payload < left ? payload : left);
    }
    return types;
}

std::vector<MessageType> DatagramRecordTypes(std::span<const std::uint8_t> datagram) {
    if (datagram.size() <= kDatagramHeaderSize) {
        return {};
    }
    return ListRecordTypes(datagram.subspan(kDatagramHeaderSize));
}

std::vector<std::uint8_t> UnstuffSerialRecords(std::span<const std::uint8_t> stuffed) {
    std::vector<std::uint8_t> records;
    if (stuffed.size() < 2) {
        return records;
    }
    records.reserve(stuffed.size());
    // Each code byte counts the bytes up to the next code byte, which stands for a zero.
    // The last stuffed byte is the checksum's position and is not part of the records.
    std::uint8_t code = stuffed[0];
    for (std::size_t i = 1; i + 1 < stuffed.size(); ++i) {
        --code;
        if (code == 0) {
            records.push_back(0x00);
            code = stuffed[i];
        } else {
            records.push_back(stuffed[i]);
        }
    }
    return records;
}

}  // namespace KorMonitor
