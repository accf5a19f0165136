// The note a peer transfer keeps beside its partial file: read back exactly,
// refused when it does not fit its own numbers, and what an HTTP transfer
// that takes the file over keeps of it.
#include "piece_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/file_handle.h"
#include "tests/support/temp_folder.h"
#include "transfers/part_file.h"

namespace {

// Five pieces of 16 KiB and a last one of 100 bytes.
engine::PieceState Sample(bool stopped) {
    engine::PieceState state;
    state.stopped = stopped;
    state.infoHash = std::string(40, 'a');
    state.pieceLength = 16384;
    state.size = 5 * 16384 + 100;
    state.have = {true, true, false, true, false, true};
    state.fromServers = {false, true, false, false, false, true};
    return state;
}

void WriteBytes(const std::string& path, std::size_t count) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(count, 'x');
}

}  // namespace

TEST(PieceState, ReadsBackWhatItWroteAndCountsWholePiecesFromTheStart) {
    const engine::PieceState state = Sample(true);
    EXPECT_EQ(state.PieceCount(), 6);
    EXPECT_EQ(state.PieceSize(5), 100);
    EXPECT_EQ(state.LeadingBytes(), 2 * 16384);
    EXPECT_EQ(state.HaveBytes(), 3 * 16384 + 100);
    engine::PieceState read;
    ASSERT_TRUE(engine::DecodePieceState(engine::EncodePieceState(state), &read));
    EXPECT_TRUE(read.stopped);
    EXPECT_EQ(read.have, state.have);
    EXPECT_EQ(read.fromServers, state.fromServers);
    EXPECT_EQ(read.size, state.size);

    engine::PieceState whole = state;
    whole.have.assign(6, true);
    EXPECT_EQ(whole.LeadingBytes(), whole.size);  // the short last piece counts
}

TEST(PieceState, ANoteThatDisagreesWithItselfIsRefused) {
    const std::string good = engine::EncodePieceState(Sample(true));
    engine::PieceState read;
    auto changed = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return engine::DecodePieceState(text, &read);
    };
    EXPECT_FALSE(changed("leading 32768", "leading 49152"));  // claims more than it has
    EXPECT_FALSE(changed("have d4", "have d5"));             // a bit past the last piece
    EXPECT_FALSE(changed("servers 44", "servers 64"));       // a server piece it does not have
    EXPECT_FALSE(changed("piece-length 16384", "piece-length 16000"));
    EXPECT_FALSE(changed("state stopped", "state done"));
    EXPECT_FALSE(changed("zk4-piece-state 1", "zk4-piece-state 2"));
    EXPECT_FALSE(engine::DecodePieceState(good + "extra 1\n", &read));
    EXPECT_FALSE(engine::DecodePieceState("", &read));
}

// Both HTTP resumers, the engine's and the service's direct path, keep only
// what a stopped transfer vouches for from the start, and nothing of a
// transfer that did not stop in order.
TEST(PieceState, AnHttpTransferContinuesOnlyWhatIsWholeFromTheStart) {
    TempFolder folder;
    const std::string part = folder.Path() + "data.pak.part";
    for (bool engineSide : {true, false}) {
        for (bool stopped : {true, false}) {
            WriteBytes(part, 5 * 16384 + 100);  // full length, with holes
            ASSERT_TRUE(engine::SavePieceState(part, Sample(stopped)));
            if (engineSide) {
                std::string note;
                ASSERT_TRUE(engine::PrepareForHttpResume(part, &note));
            } else {
                std::string opened;
                bool moved = false;
                ASSERT_TRUE(PrepareToWrite(folder.Path() + "data.pak", &opened, &moved));
                EXPECT_EQ(opened, part);
            }
            EXPECT_EQ(plat::FileLength(part), stopped ? 2 * 16384 : 0)
                << (engineSide ? "engine" : "service") << (stopped ? ", stopped" : ", running");
            EXPECT_FALSE(std::filesystem::exists(engine::PieceStatePathOf(part)));
        }
    }
}
