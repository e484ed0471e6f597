#pragma once

// One decoder fuzz step, shared by the seeded test and the libFuzzer target:
// decodes any bytes, reads every argument, and checks that a well-formed plain
// message re-encodes to exactly the bytes it came from.

#include "osc_pkt/oscpkt.h"

#include <cstring>
#include <string>

inline bool OscFuzzOne(const std::uint8_t* data, std::size_t size)
{
    OscPacketParser parser(data, size);
    std::size_t popped = 0;
    while (const OscMessage* message = parser.PopMessage()) {
        ++popped;
        if (!message->IsOk()) return false;  // an error must hide every message
        OscArgCursor args = message->Args();
        std::string text;
        while (!args.IsAtEnd()) {
            switch (args.NextTag()) {
                case 'd':
                    args.PopDouble();
                    break;
                case 'f':
                    args.PopFloat();
                    break;
                case 'i':
                    args.PopInt32();
                    break;
                case 'h':
                    args.PopInt64();
                    break;
                case 's':
                    args.PopString(text);
                    break;
                default:
                    args.Skip();
                    break;
            }
        }
        if (!args.IsOk()) return false;
        if (size > 0 && data[0] != '#') {
            OscPacketBuilder builder;
            builder.AddMessage(*message);
            if (builder.PacketSize() != size || std::memcmp(builder.PacketData(), data, size) != 0)
                return false;
        }
    }
    return parser.IsOk() ? popped == parser.MessageCount() : popped == 0;
}
