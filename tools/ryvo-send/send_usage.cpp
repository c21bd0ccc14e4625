#include "send_options.h"

namespace ryvoobs {

std::string send_usage_text() {
    return R"(usage: ryvo-send [options] MEDIA_FILE

Sends a media file to the Ryvo delayed-stream service as one live broadcast: the file is muxed
into an MPEG transport stream, cut into numbered segments in front of video keyframes, and every
segment is uploaded with its SHA-256 digest, with heartbeats and backfill as during a broadcast
from OBS. When the file has been sent, the last segments are drained and the broadcast is ended.

MEDIA_FILE is an MP4, MKV, FLV or MPEG-TS file with H.264 or HEVC video (AV1 too with FFmpeg 7.1
or newer) and, optionally, AAC audio. Only the first video and the first audio stream are sent.

Connection (default: the plug-in's configuration file):
  --config PATH      read the configuration from PATH instead of the plug-in's file
                     (~/.config/Ryvo/obs-plugin.json, under $XDG_CONFIG_HOME when set)
  --endpoint URL     ingest endpoint, scheme and host (default: the configuration's, else the
                     built-in one or RYVO_DEFAULT_API_ENDPOINT); https://, or plain http://
                     only to a development server on this machine (localhost, 127.0.0.0/8, ::1)
  --stream-id ID     stream to deliver to; without --config, the configuration file is not
                     read and the connection comes from the flags alone
  --api-key KEY      the stream's API key; prefer RYVO_API_KEY, which other users cannot see
                     in the process list
  --segment-ms MS    target segment duration in milliseconds (default 2000)
  --agent NAME       primary or backup (default primary)
  --state PATH       sequence checkpoint file (default: the plug-in's, so that numbering keeps
                     rising across broadcasts; ~/.config/Ryvo/obs-plugin-state.json)
  Any of --endpoint, --stream-id, --api-key, --segment-ms and --agent overrides the file's
  value; the result is checked like the plug-in's configuration and handed to the sender in a
  private temporary file that is removed at exit. --endpoint, --stream-id and --api-key make
  the connection a manual one.

Sending:
  --fast             send as fast as possible instead of at the pace of a live encoder
                     (packets released at their decode time, counted from the start)
  --loop N           send the file N times as one broadcast with continuous timestamps
  -q, --quiet        no progress and no summary; errors are still printed
  --status-json      instead of the progress line, a status line for programs every 500 ms:
                     "ryvo-send status: " and a JSON object with the fields segments,
                     uploaded, queue, cache_bytes, cache_max_bytes, bytes_muxed, media_seconds,
                     connected and last_error (the session's, "" when there is none)
  -h, --help         show this text

Progress goes to standard error: one line refreshed in place on a terminal (segments cut,
uploaded, upload queue, cache fill, bitrate, media time, last error), a line every 5 seconds
otherwise, and a summary at the end. Ctrl-C (or SIGTERM) stops sending and ends the broadcast
cleanly: the last segment is cut, the upload queue drained (up to 15 s) and the end posted; a
second Ctrl-C quits at once.

Environment:
  RYVO_API_KEY               API key used when --api-key is not given
  RYVO_CA_FILE               PEM file trusted instead of the system CA store (test servers)
  RYVO_DEFAULT_API_ENDPOINT  replaces the built-in ingest endpoint
  XDG_CONFIG_HOME            where the default configuration and state files live

Exit status:
  0    the whole file was sent, every segment uploaded and the broadcast ended
  1    delivery failed: uploads were halted (API key rejected, stream unknown), segments were
       not uploaded, the file could not be read to the end, or the broadcast could not be ended
  2    bad input, found before anything is sent: bad option, missing or unreadable file, not a
       media file, no video stream, unsupported codec, invalid or incomplete configuration
  130  interrupted by Ctrl-C or SIGTERM; the broadcast was ended (1 if ending it failed)
)";
}

}  // namespace ryvoobs
