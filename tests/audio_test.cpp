// Audio packet stage and its packer side: real and synthetic packets go
// through parser, encoder and the stage's decoder and must come back byte for
// byte; corrupt chunks must fail cleanly.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>

#include "driver/header_decoder.h"
#include "pack/audio_encoder.h"
#include "testkit/audio_generator.h"
#include "pack/audio_parser.h"
#include "pack/bink_file.h"
#include "pack/encode_coder.h"
#include "stages/audio_grammar.h"
#include "stages/audio_stage.h"
#include "stages/stages.h"
#include "tests/corpus.h"
#include "tests/stage_fixtures.h"
#include "writers/audio_syntax.h"
#include "writers/bit_direction.h"

namespace dev {
namespace {

constexpr uint32_t kDct = 0x1000, kStereo = 0x2000;

// A context holding only the audio track table.
struct TestContext {
    BinkContext context;
    std::vector<AudioTrackInfo> tracks;
    TestContext(std::initializer_list<std::pair<uint32_t, uint32_t>> rateAndFlags) {
        for (auto [rate, flags] : rateAndFlags) {
            tracks.emplace_back();
            setTrackFields(context, tracks.back(), rate, flags);
        }
        context.audioTrackCount = static_cast<uint32_t>(tracks.size());
        context.tracks = tracks.data();
    }
};

using Packets = std::vector<std::vector<uint8_t>>;  // per track; empty = no packet

// One chunk through the audio stage's decoder, into w from where it stands.
bool decodeChunk(AudioDecoder& d, const uint8_t* chunk, size_t length, ValueWriter& w) {
    StreamArray<ValueWriter> out;
    out[kAudioStream] = w;
    const bool ok = d.decodeChunk(chunk, length, out);
    w = out[kAudioStream];
    return ok;
}

// The audio sub-stream of a frame: per track the 32-bit size and the bytes.
std::vector<uint8_t> frameAudio(const Packets& packets) {
    std::vector<uint8_t> out;
    for (const auto& p : packets) {
        const uint32_t n = static_cast<uint32_t>(p.size());
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(n >> (8 * k)));
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Encodes every frame, decodes every chunk with a fresh stage state and
// compares with the packets.  Returns the chunk bytes (0 on failure).
size_t roundTrip(const BinkContext& context, const std::vector<Packets>& frames, bool references = true) {
    auto encoder = makeAudioEncoder(context, AudioEncoderOptions{references});
    AudioDecoder stage;
    EXPECT_TRUE(stage.setup(context));
    std::vector<uint8_t> out(1 << 20), chunk;
    size_t total = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
        PackFrame frame;
        frame.index = static_cast<uint32_t>(f);
        for (const auto& p : frames[f]) frame.audio.emplace_back(p.data(), p.size());
        if (const Status encoded = encoder->encode(frame, chunk); !encoded.ok()) {
            ADD_FAILURE() << encoded.reason();
            return 0;
        }
        ValueWriter w(out.data(), out.size());
        if (!decodeChunk(stage, chunk.data(), chunk.size(), w)) {
            ADD_FAILURE() << "frame " << f << " does not decode";
            return 0;
        }
        const std::vector<uint8_t> want = frameAudio(frames[f]);
        if (w.size() != want.size() || (!want.empty() && std::memcmp(out.data(), want.data(), want.size()) != 0)) {
            ADD_FAILURE() << "frame " << f << " decodes to other bytes";
            return 0;
        }
        total += chunk.size();
    }
    return total;
}

TEST(AudioLayout, FrameLengthAndBandsFollowTheSampleRate) {
    const struct { uint32_t rate; int frameLength; int bands; } cases[] = {
        {8000, 512, 18}, {11025, 512, 20}, {22049, 512, 23}, {22050, 1024, 23}, {32000, 1024, 25},
        {44099, 1024, 25}, {44100, 2048, 25}, {48000, 2048, 25}, {100, 512, 1}, {0, 512, 1}};
    for (const auto& c : cases) {
        audio::AudioTrackState t;
        audio::setupTrack(t, c.rate, false);
        EXPECT_EQ(t.frameLength, c.frameLength) << c.rate;
        EXPECT_EQ(t.bandCount, c.bands) << c.rate;
        EXPECT_EQ(t.boundaries[t.bandCount - 1], t.frameLength);
        for (int k = 1; k < t.bandCount; ++k) EXPECT_LE(t.boundaries[k - 1], t.boundaries[k]) << c.rate;
    }
    audio::AudioTrackState t;
    audio::setupTrack(t, 44100, true);
    EXPECT_EQ(t.boundaries[0], 8);  // 100 * 2048 / 22050 = 9, bit 0 cleared
}

TEST(AudioEmission, RunFormOfTheLastGroups) {
    // 1022 coefficients = 127 full groups and one of 6: all zero but the last
    // group.  The first run takes 64 groups, the next 32, then 16, 15 ...
    int16_t c[1022] = {};
    c[1021] = -3;
    std::vector<uint8_t> buf(4096);
    BitsOut w(BitWriter(buf.data(), buf.data() + buf.size()));
    audio::coefficientSyntax(w, c, 1022);
    w.align32();
    // Read it back as a Bink decoder would.
    size_t pos = 0;
    auto get = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos) v |= uint32_t((buf[pos >> 3] >> (pos & 7)) & 1) << i;
        return v;
    };
    std::vector<int> runs;
    int i = 0;
    while (i < 1022) {
        int groups = get(1) ? audio::kRunGroups[get(4)] : 1;
        const uint32_t width = get(4);
        const int end = std::min(i + groups * 8, 1022);
        runs.push_back(groups);
        for (; i < end; ++i) {
            if (!width) continue;
            const uint32_t m = get(width);
            if (m) {
                EXPECT_EQ(get(1), 1u);
            }
            EXPECT_EQ(m, i == 1021 ? 3u : 0u);
        }
    }
    // 127 zero groups: 64 + 32 + 16 + 15; then the single last group, bit 0.
    EXPECT_EQ(runs, (std::vector<int>{64, 32, 16, 15, 1}));
}

TEST(AudioRoundTrip, SyntheticRatesChannelsAndBlockCounts) {
    for (uint32_t rate : {8000u, 11025u, 22049u, 22050u, 32000u, 44099u, 44100u, 48000u}) {
        for (bool stereo : {false, true}) {
            TestContext tc({{rate, kDct | (stereo ? kStereo : 0)}});
            std::vector<Packets> frames;
            for (uint32_t f = 0; f < 6; ++f) frames.push_back({makeAudioPacket(rate, stereo, rate + f, f % 4)});
            EXPECT_GT(roundTrip(tc.context, frames), 0u) << rate << (stereo ? " stereo" : " mono");
        }
    }
}

TEST(AudioRoundTrip, TrackCountsMissingAndShortPackets) {
    // No tracks: the chunks are empty and decode to nothing.
    {
        TestContext tc({});
        EXPECT_EQ(roundTrip(tc.context, {{}, {}}), 0u);
        AudioDecoder st;
        ASSERT_TRUE(st.setup(tc.context));
        uint8_t byte = 0;
        ValueWriter w(&byte, 1);
        EXPECT_TRUE(decodeChunk(st, nullptr, 0, w));
        EXPECT_EQ(w.size(), 0u);
    }
    TestContext tc({{44100, kDct | kStereo}, {22050, kDct}, {8000, kDct | kStereo}});
    std::vector<Packets> frames;
    for (uint32_t f = 0; f < 8; ++f) {
        Packets p;
        for (uint32_t j = 0; j < 3; ++j) {
            const uint32_t rate = tc.tracks[j].sampleRate;
            if ((f + j) % 3 == 0) p.emplace_back();                      // no packet
            else if ((f + j) % 3 == 1) p.push_back(makeAudioPacket(rate, tc.tracks[j].stereo, f, 2));
            else p.push_back(std::vector<uint8_t>(1 + (f + j) % 4, uint8_t(0x40 + f)));  // sample count only
        }
        frames.push_back(p);
    }
    EXPECT_GT(roundTrip(tc.context, frames), 0u);
    // A frame without packets rebuilds as zero sizes.
    EXPECT_EQ(frameAudio({{}, {}, {}}), std::vector<uint8_t>(12, 0));
}

TEST(AudioRoundTrip, RawModeCarriesEveryTrackAsBytes) {
    // One track without the DCT flag puts all tracks in raw mode, the DCT
    // track included (its sample count bytes are raw bytes too).
    TestContext tc({{44100, kDct | kStereo}, {22050, kStereo}});
    ASSERT_TRUE(tc.context.noDctTrack);
    std::mt19937 rnd(5);
    std::vector<Packets> frames;
    for (uint32_t f = 0; f < 5; ++f) {
        std::vector<uint8_t> raw(f * 37);
        for (auto& b : raw) b = static_cast<uint8_t>(rnd());
        frames.push_back({makeAudioPacket(44100, true, f, 1), raw});
    }
    frames.push_back({{}, {1, 2, 3}});
    EXPECT_GT(roundTrip(tc.context, frames), 0u);
}

// Correlated packets: blocks follow their predecessors and channel 1 follows
// channel 0, so references to a channel's own previous block and to channel 0
// pay off.
std::vector<Packets> correlatedFrames(const TestContext& tc, uint32_t count, bool sameContent) {
    std::vector<Packets> frames;
    for (uint32_t f = 0; f < count; ++f) {
        Packets p;
        for (uint32_t j = 0; j < tc.tracks.size(); ++j) {
            AudioPacketOptions o;
            o.sampleRate = tc.tracks[j].sampleRate;
            o.stereo = tc.tracks[j].stereo;
            o.seed = sameContent ? f : f * 7 + j;
            o.blocks = 3;
            o.correlated = 1;
            p.push_back(makeAudioPacket(o));
        }
        frames.push_back(p);
    }
    return frames;
}

TEST(AudioReferences, StereoAndOwnBlockReferencesShrinkTheChunk) {
    TestContext tc({{44100, kDct | kStereo}});
    const auto frames = correlatedFrames(tc, 4, false);
    const size_t plain = roundTrip(tc.context, frames, false);
    const size_t referenced = roundTrip(tc.context, frames, true);
    ASSERT_GT(plain, 0u);
    ASSERT_GT(referenced, 0u);
    EXPECT_LT(referenced * 2, plain);
}

TEST(AudioReferences, OtherTracksAreReferences) {
    // Track 1 carries the same packets as track 0 (another rate: same layout
    // only in part), track 2 is mono at 48 kHz with the same frame length.
    TestContext tc({{44100, kDct}, {48000, kDct}, {22050, kDct}});
    const auto frames = correlatedFrames(tc, 3, true);
    const size_t plain = roundTrip(tc.context, frames, false);
    const size_t referenced = roundTrip(tc.context, frames, true);
    ASSERT_GT(referenced, 0u);
    EXPECT_LT(referenced, plain);
}

// Every kind of reference, forced through the grammar, decodes to the same
// bytes: a channel's own previous block (also within one packet of two
// blocks), channel 0 for channel 1, another track (before and after this one
// in the frame), channel 1 of a mono track (never written: zeros) and a
// channel that has had no block yet.
TEST(AudioReferences, EveryReferenceKindDecodes) {
    TestContext tc({{44100, kDct | kStereo}, {48000, kDct}, {22050, kDct | kStereo}});
    // Per frame, track and channel: 0 = no reference, else selector + 1
    // (selector = track x 2 + channel).
    const uint8_t choices[][3][2] = {
        // own channel before any block (zeros); mono channel 1 (zeros);
        // own channel 0 before any block, and track 1 coded just before.
        {{1, 0}, {4, 0}, {5, 3}},
        // track 2's block of the previous frame, channel 0 just decoded;
        // nothing; mono channel 1 of track 1.
        {{5, 1}, {0, 0}, {4, 0}},
        // own channel 1's previous block from channel 0, own previous block;
        // track 0 of this frame; channel 1 to track 0.
        {{2, 2}, {1, 1}, {0, 1}},
    };
    audio::AudioState enc;
    AudioDecoder dec;
    ASSERT_TRUE(enc.init(tc.context));
    ASSERT_TRUE(dec.setup(tc.context));
    for (uint32_t f = 0; f < 3; ++f) {
        Packets packets;
        std::vector<AudioPacketValues> values(3);
        for (uint32_t j = 0; j < 3; ++j) {
            AudioPacketOptions o;
            o.sampleRate = tc.tracks[j].sampleRate;
            o.stereo = tc.tracks[j].stereo;
            o.seed = f * 3 + j;
            o.blocks = 1 + (f + j) % 2;
            o.correlated = 1;
            packets.push_back(makeAudioPacket(o));
            ASSERT_EQ(parseAudioPacket(enc.tracks[j], packets[j], values[j]).reason(), "");
        }
        std::vector<uint8_t> chunk;
        EncodeCoder c(chunk);
        for (uint32_t j = 0; j < 3; ++j) {
            AudioPacketValues& v = values[j];
            audio::codePacketSize(c, enc, v.size);
            for (uint32_t k = 0; k < 4; ++k) audio::codeSampleCountByte(c, enc, k, v.sampleCount[k]);
            for (uint32_t b = 0; b < v.blocks; ++b) {
                auto choose = [&](int ch, audio::AudioChannelValues& x) {
                    const uint8_t pick = choices[f][j][ch];
                    x.useReference = pick != 0;
                    x.selector = static_cast<uint8_t>(pick ? pick - 1 : 0);
                };
                ASSERT_TRUE(audio::codeBlock(c, enc, j, v.channels.data() + b * enc.tracks[j].channels, choose));
            }
        }
        c.finish();
        std::vector<uint8_t> out(1 << 16);
        ValueWriter w(out.data(), out.size());
        ASSERT_TRUE(decodeChunk(dec, chunk.data(), chunk.size(), w)) << f;
        out.resize(w.size());
        EXPECT_EQ(out, frameAudio(packets)) << f;
    }
}

TEST(AudioParser, RejectsPacketsWeCannotRewrite) {
    audio::AudioTrackState t;
    audio::setupTrack(t, 22050, false);
    std::vector<uint8_t> packet = makeAudioPacket(22050, false, 3, 2);
    AudioPacketValues v;
    ASSERT_EQ(parseAudioPacket(t, packet, v).reason(), "");
    EXPECT_EQ(v.blocks, 2u);
    EXPECT_EQ(writeAudioPacket(t, v), packet);
    // The two leading bits of a block are not zero.
    auto bad = packet;
    bad[4] |= 1;
    EXPECT_FALSE(parseAudioPacket(t, bad, v).ok());
    // A truncated packet: its last block runs past the end.
    bad.assign(packet.begin(), packet.end() - 4);
    EXPECT_FALSE(parseAudioPacket(t, bad, v).ok());
    // Not a whole number of words.
    bad = packet;
    bad.push_back(0);
    EXPECT_FALSE(parseAudioPacket(t, bad, v).ok());
    // A width wider than needed: the first group of channel 0 written with
    // one bit more is read fine by a Bink decoder but is not our form.
    audio::AudioChannelValues zero{};
    std::vector<uint8_t> buf(8192);
    BitsOut w(BitWriter(buf.data(), buf.data() + buf.size()));
    w.field(0, 2);
    for (int n = 0; n < 2; ++n) audio::floatSyntax(w, zero.exponent[n], zero.mantissa[n], zero.sign[n]);
    for (int l = 0; l < t.bandCount; ++l) w.field(0, 8);
    w.field(0, 1);
    w.field(1, 4);  // width 1 for eight zeros
    w.field(0, 8);
    audio::coefficientSyntax(w, zero.coefficients + 8, t.frameLength - 10);
    w.align32();
    bad.assign({0, 0, 0, 0});
    bad.insert(bad.end(), buf.data(), w.w.out);
    EXPECT_FALSE(parseAudioPacket(t, bad, v).ok());
    // Damaged packets from untrusted files: flipped bits and random bytes
    // are read without touching memory past the packet.
    std::mt19937 rnd(3);
    for (int n = 0; n < 300; ++n) {
        bad = packet;
        if (n % 2) bad.resize(rnd() % (packet.size() + 1));
        for (int k = 0; k < 4 && !bad.empty(); ++k) bad[rnd() % bad.size()] ^= static_cast<uint8_t>(1u << (rnd() % 8));
        if (n % 3 == 0)
            for (auto& b : bad) b = static_cast<uint8_t>(rnd());
        (void)parseAudioPacket(t, bad, v);
    }
}

TEST(AudioEncoder, FailingPacketNamesFrameAndTrack) {
    TestContext tc({{48000, kDct}, {48000, kDct}});
    auto encoder = makeAudioEncoder(tc.context);
    std::vector<uint8_t> good = makeAudioPacket(48000, false, 1, 1), bad = good, chunk;
    bad.push_back(0);
    PackFrame frame;
    frame.index = 17;
    frame.audio = {good, bad};
    const Status encoded = encoder->encode(frame, chunk);
    EXPECT_FALSE(encoded.ok());
    EXPECT_NE(encoded.reason().find("frame 17"), std::string::npos) << encoded.reason();
    EXPECT_NE(encoded.reason().find("track 1"), std::string::npos) << encoded.reason();
}

// Encodes with a policy that replaces chosen decisions, to make chunks that
// break the bounds a valid stream keeps.
struct ForcingCoder : EncodeCoder {
    using EncodeCoder::EncodeCoder;
    BitModel* base = nullptr;
    size_t from = 0, to = 0;  // model range whose decisions are forced
    uint32_t forced = 0;
    uint32_t bit(BitModel& model, uint32_t value) {
        const size_t k = static_cast<size_t>(&model - base);
        return EncodeCoder::bit(model, k >= from && k < to ? forced : value);
    }
    uint32_t tree(BitModel* models, int n, uint32_t value) {
        const size_t k = static_cast<size_t>(models - base);
        return EncodeCoder::tree(models, n, k == from && to == from ? forced : value);
    }
};

// One frame of track 0 (44.1 kHz stereo, one block) coded with the forcing
// coder; the result must be refused by the stage's decoder.
void expectRejected(const TestContext& tc, size_t from, size_t to, uint32_t forced, uint32_t sizeDelta = 0) {
    audio::AudioState enc;
    AudioDecoder dec;
    ASSERT_TRUE(enc.init(tc.context));
    ASSERT_TRUE(dec.setup(tc.context));
    const std::vector<uint8_t> packet = makeAudioPacket(44100, true, 9, 1);
    AudioPacketValues v;
    ASSERT_EQ(parseAudioPacket(enc.tracks[0], packet, v).reason(), "");
    std::vector<uint8_t> chunk;
    ForcingCoder c(chunk);
    c.base = enc.models.data();
    c.from = from;
    c.to = to;
    c.forced = forced;
    audio::codePacketSize(c, enc, v.size + sizeDelta);
    for (uint32_t k = 0; k < 4; ++k) audio::codeSampleCountByte(c, enc, k, v.sampleCount[k]);
    // Channel 1 refers to channel 0 with a first coefficient far away.
    v.channels[0].coefficients[0] = 30000;
    v.channels[1].coefficients[0] = -30000;
    auto choose = [](int ch, audio::AudioChannelValues& x) {
        x.useReference = ch == 1;
        x.selector = 0;
    };
    audio::codeBlock(c, enc, 0, v.channels.data(), choose);
    c.finish();
    std::vector<uint8_t> out(1 << 16, 0xAA);
    ValueWriter w(out.data(), out.size() - 64);
    EXPECT_FALSE(decodeChunk(dec, chunk.data(), chunk.size(), w));
    for (size_t k = out.size() - 64; k < out.size(); ++k) ASSERT_EQ(out[k], 0xAA);
}

TEST(AudioStageBounds, CorruptChunksFail) {
    TestContext tc({{44100, kDct | kStereo}});
    // Reference selector naming track 1 of a one-track file.
    expectRejected(tc, audio::kReferenceSelector, audio::kReferenceSelector, 2);
    // Magnitude lengths never end: every length decision says "longer".
    expectRejected(tc, audio::kMagnitudeLength, audio::kMagnitudeBits, 0);
    // A coefficient past 15 bits: a difference of 16 bits with its top bits set.
    expectRejected(tc, audio::kMagnitudeBits, audio::kPacketSize, 1);
    // Blocks that do not fill the packet exactly (one word short, one byte over).
    expectRejected(tc, 0, 0, 0, 4);
    expectRejected(tc, 0, 0, 0, 1);
    expectRejected(tc, 0, 0, 0, uint32_t(-4));
}

TEST(AudioStageBounds, OutputCapacityAndGarbage) {
    TestContext tc({{44100, kDct | kStereo}, {11025, kDct}});
    std::vector<Packets> frames = {{makeAudioPacket(44100, true, 1, 2), makeAudioPacket(11025, false, 2, 1)}};
    auto encoder = makeAudioEncoder(tc.context);
    PackFrame frame;
    for (const auto& p : frames[0]) frame.audio.emplace_back(p.data(), p.size());
    std::vector<uint8_t> chunk;
    const Status encoded = encoder->encode(frame, chunk);
    ASSERT_TRUE(encoded.ok()) << encoded.reason();
    const size_t need = frameAudio(frames[0]).size();
    for (size_t cap : {size_t(0), size_t(3), size_t(4), size_t(100), need - 1}) {
        AudioDecoder st;
        ASSERT_TRUE(st.setup(tc.context));
        std::vector<uint8_t> out(cap + 64, 0xAA);
        ValueWriter w(out.data(), cap);
        EXPECT_FALSE(decodeChunk(st, chunk.data(), chunk.size(), w)) << cap;
        for (size_t k = cap; k < out.size(); ++k) ASSERT_EQ(out[k], 0xAA) << cap;
    }
    // Random chunks end, in either result, without writing out of bounds.
    std::mt19937 rnd(11);
    AudioDecoder st;
    ASSERT_TRUE(st.setup(tc.context));
    std::vector<uint8_t> out(20000 + 64);
    for (int n = 0; n < 200; ++n) {
        std::vector<uint8_t> junk(rnd() % 300);
        for (auto& b : junk) b = static_cast<uint8_t>(rnd());
        std::fill(out.begin(), out.end(), 0xAA);
        ValueWriter w(out.data(), 20000);
        decodeChunk(st, junk.data(), junk.size(), w);
        for (size_t k = 20000; k < out.size(); ++k) ASSERT_EQ(out[k], 0xAA);
    }
}

TEST(AudioStageBounds, TooManyDctTracksAreRefused) {
    BinkContext context;
    std::vector<AudioTrackInfo> tracks(129);
    for (auto& t : tracks) setTrackFields(context, t, 22050, kDct);
    context.audioTrackCount = 129;
    context.tracks = tracks.data();
    audio::AudioState st;
    EXPECT_FALSE(st.init(context));
    PackFrame frame;
    frame.audio.resize(129);
    std::vector<uint8_t> chunk;
    EXPECT_FALSE(makeAudioEncoder(context)->encode(frame, chunk).ok());
}

// The stage routine on its thread: two good chunks, then a corrupt one sets
// failed (naming that chunk), and the stop order ends it.
TEST(AudioStageThread, CyclesFailureAndStop) {
    using stage_fixtures::StageHarness;
    TestContext tc({{22050, kDct}});
    std::vector<Packets> frames = {{makeAudioPacket(22050, false, 1, 1)}, {{}}};
    auto encoder = makeAudioEncoder(tc.context);
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : frames) {
        PackFrame frame;
        frame.audio.emplace_back(f[0].data(), f[0].size());
        chunks.emplace_back();
        const Status encoded = encoder->encode(frame, chunks.back());
        ASSERT_TRUE(encoded.ok()) << encoded.reason();
    }
    StageHarness h(AudioStage, tc.context, {kAudioStream}, 4096);
    ASSERT_TRUE(h.stage.thread);
    h.cycle(chunks[0]);
    EXPECT_EQ(h.written(kAudioStream), frameAudio(frames[0]));
    h.cycle(chunks[1]);
    EXPECT_FALSE(h.stage.failed);
    EXPECT_EQ(h.written(kAudioStream).size(), 4u);
    // A chunk whose size runs past the stream's capacity.
    std::vector<uint8_t> huge;
    {
        EncodeCoder c(huge);
        audio::AudioState st;
        ASSERT_TRUE(st.init(tc.context));
        audio::codePacketSize(c, st, 1u << 30);
        c.finish();
    }
    h.cycle(huge);
    EXPECT_TRUE(h.stage.failed);
    EXPECT_EQ(h.stage.failedChunk, 2u);
}

// Every audio packet of every corpus file.
TEST(AudioCorpus, EveryPacketRoundTrips) {
    const std::filesystem::path dir = DEV_CORPUS_DIR;
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus";
    size_t filesWithAudio = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto ext = entry.path().extension();
        if (ext != ".bik" && ext != ".bk2") continue;
        const std::vector<uint8_t> bytes = readBytes(entry.path());
        BinkFile file;
        if (!readBinkFile(bytes, file).ok() || file.tracks.empty()) continue;
        ++filesWithAudio;
        TestContext tc({});
        for (const auto& t : file.tracks) {
            tc.tracks.emplace_back();
            setTrackFields(tc.context, tc.tracks.back(), t.sampleRate, t.flags);
        }
        tc.context.audioTrackCount = static_cast<uint32_t>(tc.tracks.size());
        tc.context.tracks = tc.tracks.data();
        std::vector<Packets> frames;
        size_t audioBytes = 0;
        for (const auto& f : file.audio) {
            Packets p;
            for (const auto& s : f) {
                p.emplace_back(s.begin(), s.end());
                audioBytes += s.size();
            }
            frames.push_back(p);
        }
        const size_t plain = roundTrip(tc.context, frames, false);
        const size_t referenced = roundTrip(tc.context, frames, true);
        EXPECT_GT(plain, 0u) << entry.path().filename();
        EXPECT_GT(referenced, 0u) << entry.path().filename();
        std::cout << entry.path().filename().string() << ": " << (tc.context.noDctTrack ? "raw" : "DCT")
                  << ", audio packet bytes " << audioBytes << ", chunk bytes without references " << plain
                  << ", with references " << referenced << "\n";
    }
    EXPECT_GE(filesWithAudio, 5u);
}

}  // namespace
}  // namespace dev
