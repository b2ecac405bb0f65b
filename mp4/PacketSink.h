// Where the audio units hand their packets: the writer's muxer.
#pragma once

#include <cstdint>

struct AVPacket;

class IPacketSink {
public:
    // pts/dts/duration count samples of the track's rate. Negative when the
    // muxer could not take the packet.
    virtual int32_t WriteAudioPacket(AVPacket* pPacket) = 0;

protected:
    ~IPacketSink() = default;
};
