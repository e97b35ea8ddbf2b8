"""Tags, pictures and broadcast chunks survive normalize, in place and into
other formats; ffprobe (and a RIFF or CAF chunk walk for the chunks it does
not show) reads the output back."""

import json
import shutil
import struct
import subprocess

import pytest
import sonorik_meter

import wavgen
from test_cli import sonorik_cmd

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg and ffprobe")

TAGS = {"title": "Song é", "artist": "Band", "custom_key": "free text"}
GAINS = {"replaygain_track_gain": "-6.00 dB", "replaygain_track_peak": "0.500000",
         "r128_track_gain": "-512"}
PRIV = {"id3v2_priv.com.example": "secret"}  # an ID3v2 PRIV frame, which has no text form
CODECS = {"flac": "flac", "mp3": "libmp3lame", "ogg": "libvorbis", "opus": "libopus"}
IXML = b"<BWFXML><PROJECT>tags</PROJECT></BWFXML>"


def run(*args):
    return subprocess.run([str(a) for a in args], check=True, capture_output=True)


def bext_body(shift=0):
    """A version-2 bext chunk; its loudness, true peak, momentary and
    short-term maxima (1/100 of their units) moved by `shift`, not its range."""
    texts = b"bext desc".ljust(256, b"\0") + b"Me".ljust(32, b"\0") + b"ref".ljust(32, b"\0")
    stamp = b"2024-01-0212:00:00" + struct.pack("<II", 480000, 0)
    loud = struct.pack("<hhhhh", -2150 + shift, 500, -300 + shift, -1800 + shift, -1900 + shift)
    return texts + stamp + struct.pack("<H", 2) + bytes(64) + loud + bytes(180) + b"A=PCM\r\n"


def riff_chunks(path):
    """{chunk id: body} of a RIFF, RF64, W64 or CAF file's top-level chunks (up to
    the audio of an RF64 file, whose size is in its ds64 chunk)."""
    data, out = path.read_bytes(), {}
    if data[:4] == b"riff":  # W64: GUIDs, 64-bit sizes counting the 24-byte header, 8-byte steps
        at = 40
        while at + 24 <= len(data):
            size = struct.unpack_from("<Q", data, at + 16)[0]
            out.setdefault(data[at:at + 4], data[at + 24:at + size])
            at += max(size + -size % 8, 24)
        return out
    caf = data[:4] == b"caff"
    at, head, size_format = (8, 12, ">q") if caf else (12, 8, "<I")
    while at + head <= len(data):
        tag, size = data[at:at + 4], struct.unpack_from(size_format, data, at + 4)[0]
        if size < 0:  # a CAF audio chunk of unknown size runs to the end
            break
        out.setdefault(tag, data[at + head:at + head + size])
        at += head + size + (0 if caf else size % 2)
    return out


def set_opus_header_gain(path, q78):
    """Writes the Opus header's output gain (1/256 dB) and the first page's checksum again."""
    b = bytearray(path.read_bytes())
    struct.pack_into("<h", b, b.index(b"OpusHead") + 16, q78)
    end = 27 + b[26] + sum(b[27:27 + b[26]])
    b[22:26] = bytes(4)
    crc = 0
    for byte in b[:end]:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    struct.pack_into("<I", b, 22, crc)
    path.write_bytes(bytes(b))


@pytest.fixture(scope="module")
def cover(tmp_path_factory):
    path = tmp_path_factory.mktemp("cover") / "cover.png"
    run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", path)
    return path


def make_source(directory, kind, cover, tags=None):
    """A 4 s tone tagged as each format holds tags: FLAC and MP3 with a cover
    (MP3 with a PRIV frame), WAV with RIFF INFO, a version-2 bext chunk and an
    iXML chunk."""
    path = directory / f"src.{kind}"
    if kind == "wav":
        info = b"INFO" + wavgen.chunk(b"INAM", b"Wav title\0") + wavgen.chunk(b"IART", b"Band\0")
        before = [wavgen.chunk(b"bext", bext_body()), wavgen.chunk(b"iXML", IXML),
                  wavgen.chunk(b"LIST", info)]
        return wavgen.write_wav(path, wavgen.sine(4.0, dbfs=-30.0), bits=24, before=before)
    args = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=997:d=4:sample_rate=48000"]
    if kind in ("flac", "mp3"):
        args += ["-i", cover, "-map", "0", "-map", "1", "-c:v", "copy", "-disposition:v", "attached_pic"]
    for key, value in (tags or {**TAGS, **GAINS, **(PRIV if kind == "mp3" else {})}).items():
        args += ["-metadata", f"{key}={value}"]
    run(*args, "-c:a", CODECS[kind], path)
    return path


def probe(path):
    """(tags with lower-case keys, format and streams merged; the attached picture's bytes or None)."""
    out = json.loads(run("ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json",
                         path).stdout)
    tags = {k.lower(): v for s in out["streams"] + [out["format"]] for k, v in s.get("tags", {}).items()}
    if not any(s.get("disposition", {}).get("attached_pic") for s in out["streams"]):
        return tags, None
    return tags, run("ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "image2",
                     "-").stdout


# source, output (None: in place), the notes expected
CASES = [
    ("flac", None, []),
    ("flac", "mp3", []),
    ("flac", "wav", []),
    ("flac", "aiff", []),
    ("mp3", None, []),
    ("mp3", "ogg", ["not carried to the OGG output: ID3v2 frames PRIV"]),
    ("ogg", "opus", []),
    ("opus", None, []),
    ("opus", "flac", []),
    ("wav", None, []),
    ("wav", "flac", ["not carried to the FLAC output: the bext chunk (broadcast description); "
                     "the iXML chunk"]),
]


@pytest.mark.parametrize("kind, out_kind, notes", CASES)
def test_tags_pictures_and_chunks_survive(tmp_path, cover, kind, out_kind, notes):
    source = make_source(tmp_path, kind, cover)
    before, picture = probe(source)
    out = source if out_kind is None else tmp_path / f"out.{out_kind}"
    r = sonorik_meter.normalize(source, out, target=-16.0)
    assert r.gain_applied_db > 3.0 and r.capped_by is None and list(r.notes) == notes
    after, out_picture = probe(out)
    expected = {"title": "Wav title", "artist": "Band"} if kind == "wav" else TAGS
    expected = {**expected, **(PRIV if kind == "mp3" and out_kind is None else {})}
    assert {k: after.get(k) for k in expected} == expected
    assert out_picture == picture == (cover.read_bytes() if kind in ("flac", "mp3") else None)
    gain = r.gain_applied_db
    if kind != "wav":
        assert float(after["replaygain_track_gain"].removesuffix(" dB")) == pytest.approx(-6.0 - gain, abs=0.006)
        assert float(after["replaygain_track_peak"]) == pytest.approx(0.5 * 10 ** (gain / 20), rel=1e-5)
        assert int(after["r128_track_gain"]) == -512 - round(gain * 256)
    if kind == "wav" and out_kind is None:
        assert (after["comment"], after["encoded_by"]) == ("bext desc", "Me")
        chunks = riff_chunks(out)
        assert chunks[b"iXML"] == IXML
        assert chunks[b"bext"] == bext_body(shift=round(gain * 100))


# output, whether its text tags are carried (W64 takes only the chunks), the notes
CREATED = [
    ("rf64", True, []),
    ("caf", True, []),
    ("w64", False, ["not carried to the W64 output: tags ARTIST, TITLE"]),
]


@pytest.mark.parametrize("out_kind, carried, notes", CREATED)
def test_broadcast_wav_metadata_into_formats_tagged_as_written(tmp_path, out_kind, carried, notes):
    source = make_source(tmp_path, "wav", None)
    bare = wavgen.write_wav(tmp_path / "bare.wav", wavgen.sine(4.0, dbfs=-30.0), bits=24)
    out, bare_out = tmp_path / f"out.{out_kind}", tmp_path / f"bare.{out_kind}"
    r = sonorik_meter.normalize(source, out, target=-16.0)
    assert list(r.notes) == notes
    assert list(sonorik_meter.normalize(bare, bare_out, target=-16.0).notes) == []
    # The metadata takes no sample's place: the audio reads as without it, in full.
    m, m_bare = sonorik_meter.measure(out), sonorik_meter.measure(bare_out)
    fields = ("integrated_lufs", "true_peak_dbtp", "sample_peak_dbfs", "rms_average_dbfs", "frames")
    assert [getattr(m, f) for f in fields] == [getattr(m_bare, f) for f in fields]
    assert m.frames == sonorik_meter.measure(source).frames == 4 * 48000
    decoded = [run("ffmpeg", "-v", "error", "-i", p, "-f", "s32le", "-").stdout for p in (out, bare_out)]
    assert decoded[0] == decoded[1] and len(decoded[0]) == 4 * 48000 * 4
    after, _ = probe(out)
    assert {k: after.get(k) for k in ("title", "artist")} == (
        {"title": "Wav title", "artist": "Band"} if carried else {"title": None, "artist": None})
    chunks = riff_chunks(out)
    bext = bext_body(shift=round(r.gain_applied_db * 100))
    # libsndfile pads chunk bodies with zero bytes to a multiple of four; W64's are ours.
    assert chunks[b"bext"] == bext + bytes(-len(bext) % 4 if carried else 0)
    assert chunks[b"iXML"] == IXML
    if out_kind == "rf64":
        assert (after["comment"], after["encoded_by"]) == ("bext desc", "Me")


# source, output, tags given to the source (ffmpeg adds ENCODER), the note on standard error
NOT_CARRIED = [
    ("flac", "caf", {"title": "T", "custom_key": "x"},
     "not carried to the CAF output: tags CUSTOM_KEY; 1 picture"),
    ("flac", "rf64", {"title": "T", "license": "CC"},
     "not carried to the RF64 output: tags LICENSE; 1 picture"),
    ("ogg", "w64", {"title": "T"}, "not carried to the W64 output: tags ENCODER, TITLE"),
    ("flac", "flac", {"title": "T", "replaygain_track_gain": "loud"},
     "REPLAYGAIN_TRACK_GAIN removed: 'loud' cannot be read as a number"),
]


@pytest.mark.parametrize("kind, out_kind, tags, note", NOT_CARRIED)
def test_what_the_output_cannot_hold_is_named(tmp_path, cover, kind, out_kind, tags, note):
    source = make_source(tmp_path, kind, cover, tags)
    out = tmp_path / f"out.{out_kind}"
    result = sonorik_cmd("normalize", "--to", "integrated", "-16", "--format", "json", source, "-o", out)
    assert result.returncode == 0
    assert json.loads(result.stdout)["notes"] == [note]
    assert result.stderr.decode().splitlines() == [f"sonorik: {source}: note: {note}"]
    after, picture = probe(out)
    assert "replaygain_track_gain" not in after
    assert (after.get("title"), picture is not None) == (
        None if out_kind == "w64" else "T", out_kind == "flac")


def test_opus_header_gain_is_applied_once(tmp_path, cover):
    source = make_source(tmp_path, "opus", cover)
    set_opus_header_gain(source, -6 * 256)
    r = sonorik_meter.normalize(source, tmp_path / "out.opus", target=-20.0)
    err = subprocess.run(["ffmpeg", "-nostats", "-i", tmp_path / "out.opus", "-af", "ebur128",
                          "-f", "null", "-"], capture_output=True, text=True).stderr
    integrated = float(err.rsplit("I:", 1)[1].split()[0])
    assert integrated == pytest.approx(-20.0, abs=0.3)
    assert int(probe(tmp_path / "out.opus")[0]["r128_track_gain"]) == -512 - round(r.gain_applied_db * 256)
