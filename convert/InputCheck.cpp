#include "convert/InputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace convert {

namespace {

constexpr size_t kProbeBytes = 4096;

// The codec of a bare stream from the header of its first unit.
const char* BareCodec(const uint8_t* p, size_t n) {
    const size_t at = n > 3 && p[2] == 1 ? 3 : 4;
    if (at + 1 >= n) return "es";
    const uint8_t b0 = p[at];
    const uint8_t b1 = p[at + 1];
    const unsigned h265Type = (b0 >> 1) & 0x3F;
    // H.265 headers are two bytes, the second with a temporal id of 1 or more.
    if ((b0 & 0x81) == 0 && (b1 & 0x07) != 0 && h265Type >= 32 && h265Type <= 35) return "h265";
    const unsigned h264Type = b0 & 0x1F;
    if ((b0 & 0x80) == 0 && (h264Type == 7 || h264Type == 9 || h264Type == 6 || h264Type == 5)) return "h264";
    return "es";
}

const char* AudioCodecWord(int32_t nCodec) {
    switch (nCodec) {
        case TESSARO_AUDIO_ALAW:
            return "pcm_alaw";
        case TESSARO_AUDIO_MULAW:
            return "pcm_mulaw";
        case TESSARO_AUDIO_PCM16:
        case TESSARO_AUDIO_PCM24:
            return "pcm";
        case TESSARO_AUDIO_AAC:
            return "aac";
        case TESSARO_AUDIO_MPEG:
            return "mpeg-audio";
        default:
            return "unknown";
    }
}

const char* VideoCodecWord(int32_t nCodec) {
    switch (nCodec) {
        case TESSARO_CODEC_H264:
            return "h264";
        case TESSARO_CODEC_H265:
            return "h265";
        case TESSARO_CODEC_MPEG2:
            return "mpeg2";
        case TESSARO_CODEC_MPEG4:
            return "mpeg4";
        default:
            return "unknown";
    }
}

}  // namespace

SConversionResult ProbeInput(const std::string& strPath) {
    SConversionResult result;
    result.bSuccess = true;
    struct stat st {};
    // Only regular files: opening a FIFO here would wait for its writer.
    if (::stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return result;
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return result;
    uint8_t buf[kProbeBytes];
    size_t n = 0;
    int nReadErrno = 0;
    while (n < sizeof buf) {
        const ssize_t got = ::read(fd, buf + n, sizeof buf - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) nReadErrno = errno;
        if (got <= 0) break;
        n += static_cast<size_t>(got);
    }
    ::close(fd);
    // A bad sector is not an empty file: the user needs the system's word.
    if (n == 0 && nReadErrno != 0) return Failure(EReason::ReadInput, std::strerror(nReadErrno));
    if (n == 0) {
        result = Failure(EReason::EmptyInput);
        result.strInputFormat = "empty";
        return result;
    }
    const int32_t nContainer = TessaroProbe(buf, static_cast<uint32_t>(n));
    result.strInputFormat = nContainer == TESSARO_CONTAINER_ES ? BareCodec(buf, n) : TessaroContainerName(nContainer);
    if (TESSARO_CONTAINER_IS_FOREIGN(nContainer)) {
        const std::string strFormat = result.strInputFormat;
        result = Failure(EReason::NotRecorderStream);
        result.strInputFormat = strFormat;
    }
    return result;
}

void DescribeInput(const TessaroStatus& status, bool bMp4, SConversionResult& result) {
    if (status.nContainer == TESSARO_CONTAINER_ES && status.nVideoCodec != 0)
        result.strInputFormat = VideoCodecWord(status.nVideoCodec);
    else if (status.nContainer != TESSARO_CONTAINER_UNKNOWN)
        result.strInputFormat = TessaroContainerName(status.nContainer);
    result.nContinuityErrors = status.nContinuityErrors;
    result.streams.clear();
    const uint32_t nListed = status.nStreams < TESSARO_MAX_STREAMS ? status.nStreams : TESSARO_MAX_STREAMS;
    for (uint32_t i = 0; i < nListed; ++i) {
        const TessaroStream& s = status.aStreams[i];
        SStreamFate fate;
        fate.nId = s.nId;
        const bool bVideo = s.nKind == TESSARO_STREAM_VIDEO;
        const bool bAudio = s.nKind == TESSARO_STREAM_AUDIO;
        fate.strKind = bVideo ? "video" : bAudio ? "audio" : "other";
        fate.strCodec = bVideo ? VideoCodecWord(s.nCodec) : bAudio ? AudioCodecWord(s.nCodec) : "unknown";
        fate.strFate = "dropped";
        switch (s.nFate) {
            case TESSARO_STREAM_READ:
                if (bVideo) {
                    fate.strFate = result.nPictures > 0 ? "kept" : "dropped";
                    if (result.nPictures == 0) fate.strReason = "no picture could be written";
                } else if (status.nAudioRecords == 0) {
                    fate.strReason = "no sound in the stream";
                } else {
                    // MP4 takes AAC as it is and encodes G.711; AVI keeps both as they are.
                    fate.strFate = bMp4 && s.nCodec != TESSARO_AUDIO_AAC ? "converted" : "kept";
                }
                break;
            case TESSARO_STREAM_NOT_FIRST:
                fate.strReason = bVideo ? "another video stream is converted" : "another sound stream is converted";
                break;
            case TESSARO_STREAM_UNSUPPORTED:
                fate.strReason = "its codec is not read";
                break;
            default: {
                char sz[48];
                std::snprintf(sz, sizeof sz, "unknown stream type 0x%02x", s.nType);
                fate.strReason = sz;
                break;
            }
        }
        result.streams.push_back(std::move(fate));
    }
}

}  // namespace convert
