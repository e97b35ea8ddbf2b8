// The doc strings of AudioStream and of the stream argument (video.cpp,
// measure.cpp); python/sonorik_meter.pyi repeats them.
#pragma once

namespace sonorik::meter::doc {

inline constexpr const char* audio_stream_class =
    "One audio stream of a file, as info() lists it in FileInfo.streams.";

namespace audio_stream {
inline constexpr const char* index =
    "The stream's number among the file's audio streams, from 0: what measure(stream=) takes.";
inline constexpr const char* codec =
    "The codec, e.g. 'aac', 'ac3', 'opus' ('PCM_24', 'VORBIS' for a file libsndfile reads).";
inline constexpr const char* rate_hz = "Sample rate, Hz.";
inline constexpr const char* channels = "Number of channels.";
inline constexpr const char* channel_map =
    "The channel layout the stream is weighted by, one name per channel (see CHANNEL_NAMES).";
inline constexpr const char* language =
    "The language the container tags the stream with (e.g. 'eng'), or None.";
inline constexpr const char* duration_s =
    "The duration the container declares for the stream, seconds, or None.";
inline constexpr const char* is_default = "True for the stream the container marks default.";
}  // namespace audio_stream

inline constexpr const char* file_info_streams =
    "The file's audio streams (AudioStream), in order; one for a file libsndfile reads.";

}  // namespace sonorik::meter::doc
