"""`sonorik tag` and replaygain(): gains a player applies, written as tags
without touching the audio; ffmpeg (its replaygain volume and ebur128) and
ffprobe read the files back."""

import json
import re
import shutil
import struct
import subprocess

import pytest
import sonorik_meter

import wavgen
from test_cli import sonorik_cmd
from test_tags import cover, make_source, probe, riff_chunks, run, set_opus_header_gain  # noqa: F401

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg and ffprobe")

GAIN_KEYS = ("replaygain_track_gain", "replaygain_track_peak", "replaygain_album_gain",
             "replaygain_album_peak", "replaygain_reference_loudness", "r128_track_gain",
             "r128_album_gain")
CODECS = {"flac": "flac", "mp3": "libmp3lame", "opus": "libopus"}


def ffmpeg_lufs(path, before=""):
    """The integrated loudness ffmpeg's ebur128 reads, after the filters `before`."""
    err = subprocess.run(["ffmpeg", "-nostats", "-i", path, "-af", before + "ebur128", "-f", "null",
                          "-"], capture_output=True, text=True).stderr
    return float(err.rsplit("I:", 1)[1].split()[0])


def audio_md5(path):
    return run("ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-").stdout


def first_page(path):
    """The first Ogg page: an Opus file's OpusHead."""
    b = path.read_bytes()
    return b[:27 + b[26] + sum(b[27:27 + b[26]])]


def make_album(directory, kind, levels=(-8.0, -14.0, -22.0)):
    """Tracks of noise at different levels, tagged with a title."""
    directory.mkdir()
    for i, db in enumerate(levels):
        run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"anoisesrc=d=4:c=pink:r=48000:seed={i}",
            "-af", f"volume={db}dB", "-metadata", f"title=T{i}", "-c:a", CODECS[kind],
            directory / f"{i}.{kind}")
    return sorted(directory.iterdir())


@pytest.mark.parametrize("kind", ["flac", "mp3"])
def test_album_tags_play_tracks_at_the_reference_and_keep_album_balance(tmp_path, kind):
    tracks = make_album(tmp_path / "album", kind)
    before = [sonorik_meter.measure(t).integrated_lufs for t in tracks]
    r = sonorik_cmd("tag", "--album", tmp_path / "album")
    assert r.returncode == 0, r.stderr
    for t in tracks:
        tags = probe(t)[0]
        assert re.fullmatch(r"-?\d+\.\d\d dB", tags["replaygain_track_gain"])
        assert re.fullmatch(r"\d+\.\d{6}", tags["replaygain_album_peak"])
        assert ffmpeg_lufs(t, "volume=replaygain=track,") == pytest.approx(-18.0, abs=0.1)
    album = []
    for i, t in enumerate(tracks):  # ffmpeg applies the album gain; read at full precision
        run("ffmpeg", "-v", "error", "-i", t, "-af", "volume=replaygain=album", "-c:a", "pcm_f32le",
            tmp_path / f"{i}.wav")
        album.append(sonorik_meter.measure(tmp_path / f"{i}.wav").integrated_lufs)
    assert [a - album[0] for a in album] == pytest.approx([b - before[0] for b in before], abs=0.1)


def test_opus_r128_gains_relative_to_minus_23_as_played(tmp_path):
    tracks = make_album(tmp_path / "album", "opus")
    set_opus_header_gain(tracks[1], -3 * 256)  # players apply it: so do measure() and ffmpeg
    header = first_page(tracks[1])
    records = sonorik_meter.replaygain(tracks, album=True)
    for t, rec in zip(tracks, records):
        sonorik_meter.write_gain_tags(t, rec.tags)
        tags = probe(t)[0]
        assert not any(k.startswith("replaygain_") for k in tags)
        assert int(tags["r128_track_gain"]) / 256 == pytest.approx(-23 - rec.integrated_lufs,
                                                                   abs=1 / 256)
        assert int(tags["r128_album_gain"]) / 256 == pytest.approx(-23 - rec.album_lufs, abs=1 / 256)
        assert rec.integrated_lufs == pytest.approx(ffmpeg_lufs(t), abs=0.2)
    assert first_page(tracks[1]) == header


def packet_hashes(path):
    """The MD5 of every audio packet, as ffprobe reads them."""
    return run("ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=data_hash",
               "-show_data_hash", "md5", "-of", "csv=p=0", path).stdout


def header_gain(path):
    b = path.read_bytes()
    return struct.unpack_from("<h", b, b.index(b"OpusHead") + 16)[0]


@pytest.mark.parametrize("album", [False, True])
def test_opus_header_gain_played_by_every_decoder_and_r128_relative_to_it(tmp_path, album):
    tracks = make_album(tmp_path / "album", "opus")
    set_opus_header_gain(tracks[1], -3 * 256)
    if not album:  # an album gain from before: it must keep leading where it did
        assert sonorik_cmd("tag", "--album", tmp_path / "album").returncode == 0
    before = [(header_gain(t), probe(t)[0], packet_hashes(t)) for t in tracks]
    r = sonorik_cmd("tag", "--opus-header", *(["--album"] if album else []), "--format", "json",
                    tmp_path / "album")
    assert r.returncode == 0, r.stderr
    added = [json.loads(row)["opus_header_gain"] for row in r.stdout.splitlines()]
    assert len(set(added)) == (1 if album else 3)  # one album gain keeps the balance
    played = [ffmpeg_lufs(t) for t in tracks]  # ffmpeg applies the header gain, not the tags
    if album:
        assert sonorik_meter.measure_album(tracks).integrated_lufs == pytest.approx(-23, abs=0.01)
    else:
        assert played == pytest.approx([-23] * 3, abs=0.1)
    for t, (gain, tags, packets), add, lufs in zip(tracks, before, added, played):
        after = probe(t)[0]
        assert (header_gain(t), packet_hashes(t)) == (gain + add, packets)
        assert {k: v for k, v in after.items() if k not in GAIN_KEYS} == {
            k: v for k, v in tags.items() if k not in GAIN_KEYS}
        assert int(after["r128_track_gain"]) / 256 == pytest.approx(-23 - lufs, abs=0.1)
        assert int(after["r128_album_gain"]) == (0 if album else int(tags["r128_album_gain"]) - add)


@pytest.mark.parametrize("kind, gain, message", [
    ("opus", 32800, "the Opus header's gain would be +128.12 dB (+0.00 dB now, +128.12 dB added): "
                    "beyond its range of -128 to +127.99 dB"),
    ("flac", 256, "only Opus files have a header gain to write"),
])
def test_opus_header_gain_refusals_leave_the_file(tmp_path, kind, gain, message):
    path = make_album(tmp_path / "a", kind, levels=(-8.0,))[0]
    data = path.read_bytes()
    with pytest.raises(OSError, match=re.escape(message)):
        sonorik_meter.write_gain_tags(path, {}, opus_header_gain=gain)
    assert path.read_bytes() == data


@pytest.mark.parametrize("codec, faststart, cut", [
    ("aac", False, None),
    ("alac", True, None),  # the tag list before the samples: TagLib moves them
    ("aac", True, 0.6),    # samples cut off
    ("alac", False, 0.99),  # the sample tables cut off
])
def test_m4a_gain_items_keep_samples_tags_and_cover(tmp_path, cover, codec, faststart, cut):  # noqa: F811
    path = tmp_path / "x.m4a"
    run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=997:d=4", "-i", cover, "-map", "0",
        "-map", "1", "-c:v", "copy", "-disposition:v", "attached_pic", "-metadata", "title=T",
        "-metadata", "comment=free text", "-c:a", codec, *(["-movflags", "+faststart"] if faststart else []), path)
    gains = {"REPLAYGAIN_TRACK_GAIN": "-3.21 dB", "REPLAYGAIN_TRACK_PEAK": "1.234567"}
    if cut is not None:
        path.write_bytes(path.read_bytes()[:int(path.stat().st_size * cut)])
        data = path.read_bytes()
        with pytest.raises(OSError, match="the MP4 file is damaged or cut off: its atoms or samples run "
                                          "past its end"):
            sonorik_meter.write_gain_tags(path, gains)
        assert path.read_bytes() == data
        return
    (tags, picture), packets = probe(path), packet_hashes(path)
    sonorik_meter.write_gain_tags(path, {"REPLAYGAIN_ALBUM_GAIN": "1.00 dB",
                                         "REPLAYGAIN_REFERENCE_LOUDNESS": "-16.00 LUFS"})
    sonorik_meter.write_gain_tags(path, gains)  # replaces the reference, keeps the album's
    after, after_picture = probe(path)
    assert (after_picture, packet_hashes(path)) == (picture, packets)
    gains["REPLAYGAIN_ALBUM_GAIN"] = "1.00 dB"
    assert sonorik_meter.read_gain_tags(path) == gains
    assert after == {**tags, **{k.lower(): v for k, v in gains.items()}}


@pytest.mark.parametrize("kind", ["flac", "mp3", "ogg", "opus", "wav", "aiff"])
def test_other_tags_pictures_and_audio_unchanged(tmp_path, cover, kind):  # noqa: F811
    if kind == "aiff":
        path = tmp_path / "src.aiff"
        run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=2", "-write_id3v2", "1",
            "-metadata", "title=Air", "-metadata", "custom_key=free text", path)
    else:
        path = make_source(tmp_path, kind, cover)
    tags, picture = probe(path)
    md5 = audio_md5(path)
    sonorik_meter.write_gain_tags(path, sonorik_meter.replaygain([path])[0].tags)
    after, after_picture = probe(path)
    assert audio_md5(path) == md5
    assert after_picture == picture
    assert {k: v for k, v in after.items() if k not in GAIN_KEYS} == {
        k: v for k, v in tags.items() if k not in GAIN_KEYS}
    if kind == "wav":  # ffprobe does not show a WAV file's id3 chunk beside its INFO list
        after = {"replaygain_track_gain"} if b"REPLAYGAIN_TRACK_GAIN\0" in riff_chunks(path)[
            b"ID3 "] else set()
    assert ("replaygain_track_gain" in after) == (kind != "opus")


def test_hot_lossy_peaks_are_written_above_full_scale(tmp_path):
    wav = wavgen.write_wav(tmp_path / "hot.wav", wavgen.noise(4.0, dbfs=-1.0), bits=16)
    mp3 = tmp_path / "hot.mp3"
    run("ffmpeg", "-v", "error", "-i", wav, "-af", "volume=6dB", "-c:a", "libmp3lame",
        "-id3v2_version", "3", mp3)
    r = sonorik_cmd("tag", "--sample-peak", mp3)
    assert r.returncode == 0, r.stderr
    assert mp3.read_bytes()[:4] == b"ID3\x03"  # the tag keeps its version
    peak = float(probe(mp3)[0]["replaygain_track_peak"])
    assert peak > 1.0
    assert peak == pytest.approx(10 ** (sonorik_meter.measure(mp3).sample_peak_dbfs / 20), abs=1e-6)


@pytest.mark.parametrize("first, second", [
    (["--album"], ["--album", "--skip-tagged"]),
    ([], ["--skip-tagged"]),
    (None, ["--album", "--dry-run"]),
])
def test_skip_tagged_and_dry_run_touch_nothing(tmp_path, first, second):
    tracks = make_album(tmp_path / "album", "flac")
    if first is not None:
        assert sonorik_cmd("tag", *first, tmp_path / "album").returncode == 0
    state = [(t.read_bytes(), t.stat().st_mtime_ns) for t in tracks]
    r = sonorik_cmd("tag", *second, "--format", "csv", tmp_path / "album")
    assert r.returncode == 0, r.stderr
    assert [(t.read_bytes(), t.stat().st_mtime_ns) for t in tracks] == state
    action = "would write" if "--dry-run" in second else "already tagged"
    assert r.stdout.decode().count(f",{action},") == len(tracks)


def test_reference_track_mode_and_refusals(tmp_path):
    tracks = make_album(tmp_path / "album", "flac")
    assert sonorik_cmd("tag", "--album", "--reference", "-16", tmp_path / "album").returncode == 0
    tags = probe(tracks[0])[0]
    lufs = sonorik_meter.measure(tracks[0]).integrated_lufs
    assert tags["replaygain_reference_loudness"] == "-16.00 LUFS"
    assert tags["replaygain_track_gain"] == f"{-16 - lufs:.2f} dB"
    album_gain = tags["replaygain_album_gain"]
    assert sonorik_cmd("tag", tracks[0]).returncode == 0  # track mode: the album's tags stay
    tags = probe(tracks[0])[0]
    assert "replaygain_reference_loudness" not in tags
    assert (tags["replaygain_track_gain"], tags["replaygain_album_gain"]) == (
        f"{-18 - lufs:.2f} dB", album_gain)
    rf64, silent, cut = tmp_path / "x.rf64", tmp_path / "silent.flac", tmp_path / "cut.flac"
    run("ffmpeg", "-v", "error", "-i", tracks[0], "-rf64", "always", "-f", "wav", rf64)
    run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "anullsrc=d=2", silent)
    cut.write_bytes(tracks[1].read_bytes()[:-5000])
    for path, message in [(rf64, "gain tags are not written into RF64"),
                          (silent, "no audio above the gates (silence): it has no gain"),
                          (cut, "damaged audio at")]:
        data = path.read_bytes()
        r = sonorik_cmd("tag", path)
        assert (r.returncode, path.read_bytes()) == (1, data)
        assert f"sonorik: {path}: {message}" in r.stderr.decode()
    with pytest.raises(ValueError, match="not a gain tag"):
        sonorik_meter.write_gain_tags(tracks[0], {"TITLE": "x"})


@pytest.mark.parametrize("kind", ["flac", "mp3", "wav"])
@pytest.mark.parametrize("cut", [0.001, 0.01, 0.5, 0.999])
def test_cut_files_are_refused_untouched_or_tagged_with_their_audio_bytes_kept(tmp_path, cover, kind,
                                                                              cut):  # noqa: F811
    path = make_source(tmp_path, kind, cover)
    data = path.read_bytes()
    path.write_bytes(data[:int(len(data) * cut)])
    before = path.read_bytes()
    try:
        sonorik_meter.write_gain_tags(path, {"REPLAYGAIN_TRACK_GAIN": "1.00 dB"})
    except OSError as e:
        assert str(path) in str(e)
        assert path.read_bytes() == before
    else:  # a cut in the audio: the tag is added, the stream's bytes are the same
        assert sonorik_meter.read_gain_tags(path)["REPLAYGAIN_TRACK_GAIN"] == "1.00 dB"
        assert before[-1000:] == path.read_bytes()[-1000:]
