// The frame receiver fed arbitrary byte streams, with and without a request
// waiting for its reply. Every payload handed to a hook must lie inside the
// receive buffer, and the engine must never report more than a frame holds.
#include "fuzz_common.h"
#include "kvpframe.h"

#include <cstdlib>
#include <new>

namespace {

KVPEngine* g_engine = nullptr;

void onTransmit(KVPEngine*, unsigned short length, const unsigned char*)
{
    if (length > KVP_BUFFER_SIZE)
        std::abort();
}

void onAcknowledge(KVPEngine*, unsigned char, unsigned short, unsigned char)
{
}

void onData(KVPEngine* engine, unsigned char, unsigned short, unsigned short length,
            const unsigned char* payload, bool, bool, unsigned char status)
{
    if (status != 0)
        return;
    if (length > KVP_MAX_PAYLOAD)
        std::abort();
    if (length == 0)
        return;
    const unsigned char* begin = engine->rx;
    if (payload < begin || payload + length > begin + KVP_BUFFER_SIZE)
        std::abort();
    unsigned sum = 0;
    for (unsigned i = 0; i < length; ++i)
        sum += payload[i];
    (void)sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    mztQuietLogging();
    g_engine = new KVPEngine;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // A fresh engine for every input; its member initialisers are the
    // engine's reset state (kvpInitEngine would also pause for a millisecond).
    KVPEngine* e = g_engine;
    e->~KVPEngine();
    new (e) KVPEngine;
    kvpSetHooks(e, onTransmit, onAcknowledge, onData, nullptr);

    // First byte: what the master last built; second: how often it processes.
    const std::uint8_t mode = data[0] % 4;
    const unsigned processEvery = 1u + data[1] % 64;
    const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    switch (mode) {
    case 0:
        kvpBuildReadRequest(e, 10, 3, true);
        break;
    case 1:
        kvpBuildReadRequest(e, 16, 0, false);
        break;
    case 2:
        kvpBuildWriteFrame(e, 15, 0, payload, sizeof payload, false, false);
        break;
    default:
        break; // nothing waits: replies arrive unasked
    }
    kvpProcess(e);
    for (std::size_t i = 2; i < size; ++i) {
        kvpReceiveByte(e, data[i]);
        if ((i - 2) % processEvery == 0)
            kvpProcess(e);
    }
    kvpProcess(e);
    if (kvpTransmitLength(e) > KVP_BUFFER_SIZE)
        std::abort();
    return 0;
}
