/* Does nothing but link Debian's FFmpeg libraries, as trelvo-convert does: its
 * run time is the start-up a converter built on them cannot avoid. */
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>

int main(void) {
    return (avformat_version() == 0) + (avcodec_version() == 0) + (avutil_version() == 0);
}
