"""Audio inside video and AAC containers, read through PyAV: levels against
ffmpeg's ebur128 on the same files, streams, layouts, damage, and the error
without PyAV."""

import importlib.util
import json
import os
import re
import subprocess
import sys

import pytest

import sonorik_meter

# Every test but the one of an install without PyAV.
needs_av = pytest.mark.skipif(importlib.util.find_spec("av") is None,
                              reason='PyAV is not installed (pip install "sonorik[video]")')

# A tone under pink noise, louder in its second half (so the range is not 0).
PROGRAMME = ("anoisesrc=c=pink:a=0.15:r={rate}:d=6:seed=7,volume=0.5[n];"
             "sine=f=440:r={rate}:d=6[s];[n][s]amix=inputs=2,"
             "volume='if(lt(t,3),0.4,1.2)':eval=frame")
VIDEO = ["-f", "lavfi", "-i", "testsrc=s=64x48:r=10:d=6"]


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def make(path, layout="stereo", codec=("-c:a", "aac", "-b:a", "160k"), video=("-c:v", "libx264"),
         rate=48000, extra=()):
    source = PROGRAMME.format(rate=rate) + f",aformat=channel_layouts={layout}[a]"
    inputs = VIDEO if video else []
    ffmpeg(*inputs, "-filter_complex", source, "-map", "[a]", *(["-map", "0:v"] if video else []),
           *codec, *(video or ()), *extra, str(path))
    return path


def reference(path, stream=0):
    """ffmpeg's integrated loudness and true peak of audio stream `stream`."""
    err = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", str(path), "-map",
                          f"0:a:{stream}", "-af", "ebur128=peak=true", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    summary = err[err.rindex("Summary:"):]
    return (float(re.search(r"I:\s+(-?[\d.]+) LUFS", summary)[1]),
            float(re.search(r"Peak:\s+(-?[\d.]+) dBFS", summary)[1]))


CONTAINERS = [
    # name, layout, codec options, video options, format, channel map
    ("clip.mp4", "stereo", ("-c:a", "aac", "-b:a", "160k"), ("-c:v", "libx264"), "MP4 AAC",
     ("L", "R")),
    ("song.m4a", "stereo", ("-c:a", "alac"), None, "M4A ALAC", ("L", "R")),
    ("film.mkv", "5.1(side)", ("-c:a", "ac3", "-b:a", "448k"), ("-c:v", "libx264"), "MKV AC3",
     ("L", "R", "C", "LFE", "Ls", "Rs")),
    ("clip.webm", "stereo", ("-c:a", "libopus", "-b:a", "128k"),
     ("-c:v", "libvpx", "-b:v", "50k"), "WEBM OPUS", ("L", "R")),
    ("surround.mp4", "5.1", ("-c:a", "aac", "-b:a", "384k"), None, "MP4 AAC",
     ("L", "R", "C", "LFE", "Ls", "Rs")),
    # packed and unsigned samples
    ("pcm.mov", "stereo", ("-c:a", "pcm_s16le"), None, "MOV PCM_S16LE", ("L", "R")),
    ("u8.mkv", "mono", ("-c:a", "pcm_u8"), None, "MKV PCM_U8", ("M",)),
]


@needs_av
@pytest.mark.parametrize("name,layout,codec,video,fmt,channel_map", CONTAINERS)
def test_levels_match_ffmpeg(tmp_path, name, layout, codec, video, fmt, channel_map):
    path = make(tmp_path / name, layout, codec, video)
    m = sonorik_meter.measure(path, series=True)
    lufs, peak = reference(path)
    assert (m.format, m.channel_map, m.rate_hz) == (fmt, channel_map, 48000)
    assert m.integrated_lufs == pytest.approx(lufs, abs=0.1)
    assert m.true_peak_dbtp == pytest.approx(peak, abs=0.2)
    assert m.loudness_range_lu > 5 and len(m.series_time_s) > 50
    i = sonorik_meter.info(path)
    assert (i.format, i.channel_map, i.channels) == (fmt, channel_map, len(channel_map))
    assert i.duration_s == pytest.approx(m.duration_s, abs=0.1)


@needs_av
def test_streams_by_language(tmp_path):
    path = two_languages(tmp_path / "two.mkv")
    streams = sonorik_meter.info(path).streams
    assert [(s.index, s.codec, s.rate_hz, s.channels, s.language, s.default) for s in streams] == [
        (0, "aac", 48000, 1, "eng", False), (1, "aac", 44100, 2, "fra", True)]
    for index in (0, 1):
        m = sonorik_meter.measure(path, stream=index)
        assert m.integrated_lufs == pytest.approx(reference(path, index)[0], abs=0.1)
    assert sonorik_meter.measure(path).rate_hz == 44100  # the default stream
    with pytest.raises(ValueError, match=r"^no audio stream 2: the file has streams 0 to 1: '.*two.mkv'$"):
        sonorik_meter.measure(path, stream=2)


@pytest.mark.parametrize("name,cut", [("fast.mp4", 0.6), ("end.mp4", 0.6), ("clip.mkv", 0.6),
                                      ("clip.mp4", "index")])
@needs_av
def test_damage_is_an_error(tmp_path, name, cut):
    whole = make(tmp_path / ("whole" + os.path.splitext(name)[1]),
                 extra=("-movflags", "+faststart") if name == "fast.mp4" else ())
    data = whole.read_bytes()
    path = tmp_path / name
    if cut == "index":  # a third into the index at the end: the audio track's sample sizes
        moov = data.rindex(b"moov") - 4
        at = moov + int.from_bytes(data[moov:moov + 4], "big") // 3
    else:
        at = int(len(data) * cut)
    path.write_bytes(data[:at])
    with pytest.raises(OSError, match=re.escape(repr(str(path)))):
        sonorik_meter.measure(path)


@needs_av
def test_misnamed_container_is_recognised(tmp_path):
    path = make(tmp_path / "clip.mp4")
    os.rename(path, tmp_path / "clip.wav")
    assert sonorik_meter.measure(tmp_path / "clip.wav").format.endswith("AAC")


def two_languages(path):
    ffmpeg("-f", "lavfi", "-i", "sine=f=300:r=48000:d=4,volume=0.5", "-f", "lavfi", "-i",
           "sine=f=800:r=44100:d=4,volume=0.05,aformat=channel_layouts=stereo", "-map", "0",
           "-map", "1", "-c:a", "aac", "-metadata:s:a:0", "language=eng", "-metadata:s:a:1",
           "language=fra", "-disposition:a:1", "default", "-disposition:a:0", "0", str(path))
    return path


def sonorik(*args, hide_av=False, cwd=None):
    code = ("import sys\n" + ("sys.modules['av'] = None\n" if hide_av else "") +
            "from sonorik_cli.main import main\nsys.exit(main(sys.argv[1:]))\n")
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)


@pytest.mark.parametrize("args,status,out", [
    (["analyze", "--integrated", "d"], 0, ["d/clip.mp4", "d/sub/film.mkv", "d/tone.wav"]),
    (["analyze", "--stream", "1", "--format", "csv", "d/sub"], 0, ["d/sub/film.mkv,,,MKV AAC,44100"]),
    (["analyze", "--series", "--stream", "1", "--format", "csv", "d/sub/film.mkv"], 0, ["d/sub/film.mkv,0.1"]),
    (["info", "d/sub/film.mkv"], 0, ["  #0 eng", "  #1* fra"]),
    (["analyze", "--stream", "1", "d/clip.mp4"], 1, []),
])
@needs_av
def test_command_line_reads_containers(tmp_path, args, status, out):
    (tmp_path / "d" / "sub").mkdir(parents=True)
    make(tmp_path / "d" / "clip.mp4")
    two_languages(tmp_path / "d" / "sub" / "film.mkv")
    ffmpeg("-f", "lavfi", "-i", "sine=r=48000:d=1", str(tmp_path / "d" / "tone.wav"))
    result = sonorik(*args, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    for text in out:
        assert text in result.stdout
    if status:
        assert result.stderr == ("sonorik: d/clip.mp4: no audio stream 1: the file has stream 0 "
                                 "only\n")


def test_without_pyav_the_error_names_the_extra(tmp_path):
    path = make(tmp_path / "clip.mp4", video=None)
    hint = 'reading MP4 files needs PyAV (pip install "sonorik[video]"), which is not installed'
    code = ("import sys; sys.modules['av'] = None\n"
            "import sonorik_meter\n"
            "try:\n"
            "    sonorik_meter.measure(sys.argv[1])\n"
            "except ModuleNotFoundError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                         check=True).stdout
    assert out == f"{hint}: {str(path)!r}\n"
    result = sonorik("analyze", tmp_path, hide_av=True)
    assert (result.returncode, result.stderr) == (1, f"sonorik: {path}: {hint}\n")


def probe(path, what):
    return subprocess.run(["ffprobe", "-v", "error", "-of", "csv=p=0", "-show_entries", what,
                           str(path)], capture_output=True, text=True, check=True).stdout


def md5(path, which):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-map", which, "-c", "copy",
                           "-f", "md5", "-"], capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name,layout,codec,target,ceiling,capped", [
    ("clip.mp4", "stereo", ("-c:a", "aac", "-b:a", "128k"), -16.0, -1.0, None),
    ("film.mkv", "5.1(side)", ("-c:a", "ac3", "-b:a", "448k"), -31.0, -1.0, None),
    ("loud.mp4", "mono", ("-c:a", "aac"), -3.0, -2.0, "ceiling"),
])
@needs_av
def test_normalised_video_keeps_its_other_streams(tmp_path, name, layout, codec, target, ceiling,
                                                  capped):
    source = make(tmp_path / name, layout, codec, extra=(
        "-metadata", "title=Take 3", "-metadata:s:a:0", "language=deu"))
    out = tmp_path / ("out" + source.suffix)
    r = sonorik_meter.normalize(source, out, target=target, ceiling=ceiling)
    assert (r.capped_by, r.output_format) == (capped, r.input_format)
    assert md5(out, "0:v") == md5(source, "0:v")
    assert probe(out, "format_tags=title:stream_tags=language") == probe(
        source, "format_tags=title:stream_tags=language")
    lufs, peak = reference(out)
    if capped is None:
        assert lufs == pytest.approx(target, abs=0.1)
    assert r.output_true_peak_dbtp <= ceiling and peak <= ceiling + 0.2
    assert sorted(os.listdir(tmp_path)) == sorted([name, out.name])


@needs_av
def test_normalising_a_damaged_video_writes_nothing(tmp_path):
    whole = make(tmp_path / "whole.mp4", extra=("-movflags", "+faststart")).read_bytes()
    (tmp_path / "cut.mp4").write_bytes(whole[:len(whole) * 3 // 4])
    (tmp_path / "out.mp4").write_bytes(b"kept")
    with pytest.raises(OSError, match="damaged audio at"):
        sonorik_meter.normalize(tmp_path / "cut.mp4", tmp_path / "out.mp4", target=-16)
    assert (tmp_path / "out.mp4").read_bytes() == b"kept"
    assert sorted(os.listdir(tmp_path)) == ["cut.mp4", "out.mp4", "whole.mp4"]


@needs_av
@pytest.mark.parametrize("make_it,errno_", [(os.mkfifo, 19), (os.mkdir, 21)])
def test_what_is_not_a_file_is_refused_without_blocking(tmp_path, make_it, errno_):
    make_it(tmp_path / "clip.mp4")
    with pytest.raises(OSError) as e:
        sonorik_meter.measure(tmp_path / "clip.mp4")
    assert e.value.errno == errno_


@needs_av
def test_the_tag_and_check_commands_take_containers(tmp_path):
    song = make(tmp_path / "song.m4a", video=None)
    packets = md5(song, "0:a")
    r = sonorik("tag", song)
    assert r.returncode == 0, r.stderr
    lufs, _ = reference(song)
    gain = float(probe(song, "format_tags=REPLAYGAIN_TRACK_GAIN").split()[0])
    assert gain == pytest.approx(-18.0 - lufs, abs=0.1) and md5(song, "0:a") == packets
    r = sonorik("check", "--preset", "ebu-r128", "--format", "json", make(tmp_path / "clip.mp4"))
    verdict = json.loads(r.stdout)
    assert (r.returncode, verdict["verdict"]) == (1, "FAIL")
    assert verdict["integrated_lufs"] == pytest.approx(reference(tmp_path / "clip.mp4")[0], abs=0.1)
