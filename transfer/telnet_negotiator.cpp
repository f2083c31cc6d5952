#include "transfer/telnet_negotiator.h"

namespace tapir::transfer {

namespace {

std::string Reply(unsigned char verb, unsigned char option) {
    return {static_cast<char>(telnet::kIAC), static_cast<char>(verb), static_cast<char>(option)};
}

}  // namespace

void TelnetNegotiator::EndSubnegotiation(const std::string& payload, const ReplySink& send) const {
    if (payload.size() != 1 || static_cast<unsigned char>(payload[0]) != telnet::kSEND) {
        return;
    }
    std::string reply = {static_cast<char>(telnet::kIAC), static_cast<char>(telnet::kSB),
                         static_cast<char>(telnet::kTERMINAL_TYPE), static_cast<char>(telnet::kIS)};
    reply += terminal_.empty() ? std::string("dumb") : terminal_;
    reply += static_cast<char>(telnet::kIAC);
    reply += static_cast<char>(telnet::kSE);
    send(reply);
}

std::string TelnetNegotiator::Feed(std::string_view chunk, const ReplySink& send) {
    using namespace telnet;
    std::string text;
    std::string payload;
    for (const char raw : chunk) {
        const auto byte = static_cast<unsigned char>(raw);
        switch (state_) {
            case State::Data:
                if (byte == kIAC) {
                    state_ = State::Command;
                } else {
                    text += raw;
                }
                break;
            case State::Command:
                switch (byte) {
                    case kIAC:
                        text += raw;
                        state_ = State::Data;
                        break;
                    case kWILL:
                        state_ = State::Will;
                        break;
                    case kWONT:
                        state_ = State::Wont;
                        break;
                    case kDO:
                        state_ = State::Do;
                        break;
                    case kDONT:
                        state_ = State::Dont;
                        break;
                    case kSB:
                        payload.clear();
                        state_ = State::SubOption;
                        break;
                    default:
                        state_ = State::Data;
                        break;
                }
                break;
            case State::Will:
                state_ = State::Data;
                send(Reply(byte == kECHO || byte == kEND_OF_RECORD ? kDO : kDONT, byte));
                break;
            case State::Wont:
                state_ = State::Data;
                send(Reply(kDONT, byte));
                break;
            case State::Do:
                state_ = State::Data;
                send(Reply(byte == kECHO || byte == kTERMINAL_TYPE ? kWILL : kWONT, byte));
                break;
            case State::Dont:
                state_ = State::Data;
                send(Reply(kWONT, byte));
                break;
            case State::SubOption:
                if (byte == kIAC) {
                    state_ = State::SubSkip;
                } else {
                    payload.clear();
                    state_ = State::SubData;
                }
                break;
            case State::SubData:
                if (byte == kIAC) {
                    state_ = State::SubCommand;
                } else {
                    payload += raw;
                }
                break;
            case State::SubCommand:
                if (byte == kSE) {
                    state_ = State::Data;
                    EndSubnegotiation(payload, send);
                } else if (byte == kSB) {
                    state_ = State::SubOption;
                    EndSubnegotiation(payload, send);
                } else if (byte == kIAC) {
                    payload += raw;
                    state_ = State::SubData;
                } else {
                    state_ = State::Data;
                }
                break;
            case State::SubSkip:
                state_ = State::Data;
                break;
        }
    }
    return text;
}

}  // namespace tapir::transfer
