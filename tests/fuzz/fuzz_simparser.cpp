// kbdsim's request parser and keyboard over arbitrary line bytes, in arbitrary pieces.

#include "simkeyboard.h"

#include <cstdint>

using namespace ZRN::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    if (size < 1)
        return 0;
    SimConfig config;
    config.flashSize = 0x1000;
    SimKeyboard keyboard(config);
    SimRequestParser parser;
    // The first byte picks the piece size, so frames get cut anywhere.
    const size_t piece = size_t(pData[0] % 16) + 1;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = qMin(piece, size - at);
        parser.feed(QByteArray(reinterpret_cast<const char*>(pData + at), int(n)));
        SimRequest request;
        while (parser.next(&request)) {
            if (request.payload.size() > SimRequestParser::PAYLOAD_MAX)
                __builtin_trap();
            const SimAction action = keyboard.handle(request);
            if (keyboard.flash().size() != 0x1000)
                __builtin_trap();
            (void)action;
        }
    }
    return 0;
}
