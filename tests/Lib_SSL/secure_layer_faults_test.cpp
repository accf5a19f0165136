// The TLS layer's edge cases and faults against scripted peers: records cut
// into pieces, plaintext the layer above leaves, a listener that closes from
// inside delivery, a stream that ends early with or without close_notify,
// and servers that close or answer nonsense during the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "Lib_SSL/COpenSSL.h"
#include "Lib_SSL/secure_socket_client_layer.h"
#include "tests/Lib_SSL/tls_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/tls_peer_server.h"
#include "tests/support/wait_for.h"

namespace {

class TlsFaultTest : public TlsTest {
protected:
    std::string Url(int port, const std::string& path) {
        return "https://" + std::string(kSecureHost) + ":" + std::to_string(port) + path;
    }
    // Fetches to the end and waits for the server's side to finish too.
    void FetchToEnd(HttpFetch* fetch, const TlsPeerServer& server, const std::string& path) {
        ASSERT_TRUE(fetch->Start(Url(server.Port(), path)));
        ASSERT_TRUE(Pump([&] { return fetch->Ended() && server.Finished(); }));
    }
};

std::string Head(std::size_t contentLength) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

}  // namespace

TEST_F(TlsFaultTest, RecordsCutIntoPiecesAreReassembledAndTheRequestWaitsForTheHandshake) {
    std::string body = PseudoRandomBytes(3000, 11);
    std::mutex mutex;
    std::string request;
    TlsPeerServer server(good_, [&](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        std::string got = peer.ReadRequest();
        {
            std::lock_guard lock(mutex);
            request = got;
        }
        // The head in two records and the body in a third, each written a
        // few bytes at a time, so that receives end inside records.
        peer.Send("HTTP/1.1 200 OK\r\nContent-Le", 3, 1) && peer.Send("ngth: 3000\r\n\r\n", 5, 1) &&
            peer.Send(body, 97, 1);
    });
    HttpFetch fetch;
    FetchToEnd(&fetch, server, "/cut.bin");
    std::vector<std::string> expected = {"connected", "header", "body", "complete", "closed"};
    EXPECT_EQ(fetch.events, expected);
    EXPECT_TRUE(fetch.body == body);
    std::lock_guard lock(mutex);
    EXPECT_EQ(request.rfind("GET /cut.bin HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find(std::string("Host: ") + kSecureHost + ":" +
                           std::to_string(server.Port()) + "\r\n"),
              std::string::npos)
        << request;
}

TEST_F(TlsFaultTest, PostBodyAskedForPieceByPieceGoesOutInOrder) {
    // Each piece is asked for when the send queue runs dry, which happens
    // while the previous piece's record is being sent.
    std::mutex mutex;
    std::string request;
    TlsPeerServer server(good_, [&](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        std::string got = peer.ReadRequest();
        {
            std::lock_guard lock(mutex);
            request = got;
        }
        peer.Send(Head(2) + "ok");
    });
    struct Uploader : HttpFetch {
        int pieces = 0;
        void OnSendReady(std::uint32_t) override {
            std::string piece(pieces == 0 ? 60 : 40, pieces == 0 ? 'a' : 'b');
            if (pieces++ < 2) {
                EXPECT_TRUE(vzSucceeded(
                    Layer()->SendBody(piece.data(), static_cast<std::uint32_t>(piece.size()))));
            }
        }
    } up;
    ASSERT_EQ(up.Layer()->Open(Url(server.Port(), "/report").c_str()), kLayerOk);
    ASSERT_EQ(up.Layer()->Post(100), kLayerOk);
    ASSERT_TRUE(Pump([&] { return up.Ended() && server.Finished(); }));
    EXPECT_EQ(up.body, "ok");
    std::lock_guard lock(mutex);
    EXPECT_EQ(request.rfind("POST /report HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find(std::string(60, 'a') + std::string(40, 'b')), std::string::npos)
        << request;
}

TEST_F(TlsFaultTest, PlaintextLeftAboveIsOfferedAgainBeforeTheNextRecord) {
    TlsPeerServer server(good_, [](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        peer.ReadRequest();
        peer.Send(Head(10) + "abcde") && peer.Send("fghij");
        peer.SendCloseNotify();
    });
    // Takes nothing of the first offer, everything afterwards.
    struct Reluctant : HttpFetch {
        std::int32_t OnBodyData(std::uint32_t value, const void* data,
                                std::int32_t length) override {
            if (offered.empty()) {
                offered.push_back(length);
                return 0;
            }
            return HttpFetch::OnBodyData(value, data, length);
        }
    } fetch;
    FetchToEnd(&fetch, server, "/");
    std::vector<std::int32_t> offered = {5, 10};
    EXPECT_EQ(fetch.offered, offered);
    EXPECT_EQ(fetch.body, "abcdefghij");
    EXPECT_EQ(fetch.Count("complete"), 1);
}

TEST_F(TlsFaultTest, ListenerClosingInsideDeliveryEndsItAndFreesTheSessionAfterwards) {
    TlsPeerServer server(good_, [](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        peer.ReadRequest();
        // Head and body in one record and more records behind it, all in
        // one receive: nothing may be decrypted or delivered after the close.
        peer.Send(Head(40000) + std::string(20000, 'x') + std::string(20000, 'y'));
    });
    struct CloseOnHead : HttpFetch {
        void OnHeaderReceived(std::uint32_t value) override {
            HttpFetch::OnHeaderReceived(value);
            EXPECT_TRUE(vzSucceeded(Context()->Close()));
        }
    } fetch;
    FetchToEnd(&fetch, server, "/");
    std::vector<std::string> expected = {"connected", "header", "closed"};
    EXPECT_EQ(fetch.events, expected);
    EXPECT_TRUE(fetch.body.empty());
    vzIUnknown* layer = nullptr;
    ASSERT_EQ(fetch.Context()->FindLayer(kClassSecureSocketClientLayer, &layer), kTransportOk);
    auto* tls =
        static_cast<nwCSecureSocketClientLayer*>(static_cast<vzISecureSocketClientLayer*>(layer));
    EXPECT_FALSE(tls->HasSession());
    EXPECT_EQ(COpenSSL::LiveSessionsForTesting(), 0);
}

TEST_F(TlsFaultTest, StreamEndingBeforeTheLengthIsNeverComplete) {
    // Without close_notify (a cut connection) and with it (a server that
    // ended cleanly but early): either way the body is short.
    for (bool closeNotify : {false, true}) {
        TlsPeerServer server(good_, [closeNotify](TlsPeer& peer) {
            if (!peer.Handshake()) return;
            peer.ReadRequest();
            peer.Send(Head(100000) + std::string(40000, 'z'));
            if (closeNotify) peer.SendCloseNotify();
        });
        HttpFetch fetch;
        FetchToEnd(&fetch, server, "/short.bin");
        std::vector<std::string> expected = {"connected", "header", "body", "closed"};
        EXPECT_EQ(fetch.events, expected) << "close_notify " << closeNotify;
        EXPECT_EQ(fetch.body.size(), 40000u);
    }
}

TEST_F(TlsFaultTest, ServerClosingOrAnsweringNonsenseDuringTheHandshakeIsAClose) {
    const Script scripts[] = {
        {ScriptStep::Sleep(100), ScriptStep::Close()},
        {ScriptStep::Sleep(100), ScriptStep::Reset()},
        // The start of a ServerHello record, then nothing more.
        {ScriptStep::Sleep(50), ScriptStep::Send(std::string("\x16\x03\x03\x00\x40\x02\x00", 7)),
         ScriptStep::Sleep(50), ScriptStep::Close()},
        {ScriptStep::Sleep(50), ScriptStep::Send("HTTP/1.1 400 Bad Request\r\n\r\n"),
         ScriptStep::Stall()},
    };
    for (const Script& script : scripts) {
        ScriptedServer server;
        server.AddScript(script);
        HttpFetch fetch;
        ASSERT_TRUE(fetch.Start(Url(server.Port(), "/")));
        ASSERT_TRUE(Pump([&] { return fetch.Ended(); }));
        EXPECT_EQ(fetch.events, (std::vector<std::string>{"connected", "closed"}));
        EXPECT_EQ(COpenSSL::LiveSessionsForTesting(), 0);
    }
    // Not a certificate matter: nothing is logged.
    EXPECT_TRUE(RefusalLines().empty());
}

TEST_F(TlsFaultTest, RefusalOnOneConnectionLeavesAnotherUnharmed) {
    // Both connections share the worker thread and with it OpenSSL's error
    // queue: the refusal must leave nothing there that the other session's
    // next read would take for its own failure.
    std::atomic<int> stage{0};
    // Bounded: a client that never gets there fails the test, not the run.
    auto awaitStage = [&](int wanted) { WaitFor([&] { return stage >= wanted; }, 10000); };
    TlsPeerServer good(good_, [&](TlsPeer& peer) {
        if (!peer.Handshake()) return;
        peer.ReadRequest();
        peer.Send(Head(30) + "first half");
        awaitStage(1);
        peer.Send("other half");  // read, then the read waits for more
        awaitStage(2);
        peer.Send("last part.");
    });
    TlsPeerServer bad(selfSigned_, [](TlsPeer& peer) { peer.Handshake(); });
    HttpFetch healthy;
    ASSERT_TRUE(healthy.Start(Url(good.Port(), "/")));
    ASSERT_TRUE(Pump([&] { return healthy.body.size() == 10; }));
    HttpFetch stranger;
    ASSERT_TRUE(stranger.Start(Url(bad.Port(), "/")));
    ASSERT_TRUE(Pump([&] { return stranger.Ended(); }));
    EXPECT_EQ(stranger.events, (std::vector<std::string>{"connected", "closed"}));
    stage = 1;
    ASSERT_TRUE(Pump([&] { return healthy.body.size() == 20 || healthy.Ended(); }));
    stage = 2;
    ASSERT_TRUE(Pump([&] { return healthy.Ended() && good.Finished(); }));
    EXPECT_EQ(healthy.body, "first halfother halflast part.");
    EXPECT_EQ(healthy.Count("complete"), 1);
}

TEST_F(TlsFaultTest, SessionTakesRecordsOneByteAtATime) {
    // A client session against an in-memory server: every byte of the
    // server's flights is fed alone, and the plaintext appears only with
    // the last byte of its record.
    struct Sink {
        std::string toServer;
        std::string plain;
        bool done = false;
    } sink;
    COpenSSLCallbacks callbacks;
    callbacks.user = &sink;
    callbacks.send = [](void* user, const void* data, std::size_t length) {
        static_cast<Sink*>(user)->toServer.append(static_cast<const char*>(data), length);
    };
    callbacks.handshakeDone = [](void* user) { static_cast<Sink*>(user)->done = true; };
    callbacks.data = [](void* user, const void* data, std::size_t length) {
        static_cast<Sink*>(user)->plain.append(static_cast<const char*>(data), length);
        return true;
    };
    COpenSSL* client = nullptr;
    ASSERT_EQ(COpenSSL::Create(callbacks, kSecureHost, &client), kTransportOk);
    InMemoryTlsServer server(good_);
    ASSERT_TRUE(server.Valid());

    std::size_t consumed = 0;
    ASSERT_TRUE(client->Handshake(nullptr, 0, &consumed));
    EXPECT_EQ(consumed, 0u);
    while (!sink.done) {
        ASSERT_FALSE(sink.toServer.empty());
        std::string flight = server.Exchange(sink.toServer);
        sink.toServer.clear();
        ASSERT_FALSE(flight.empty());
        for (char byte : flight) {
            ASSERT_FALSE(sink.done);
            ASSERT_TRUE(client->Handshake(&byte, 1, &consumed));
            ASSERT_EQ(consumed, 1u);
        }
    }
    // The server takes the client's Finished (and answers with its session
    // tickets, records without plaintext) before it encrypts.
    std::string records = server.Exchange(sink.toServer);
    records += server.Encrypt("hello, records");
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_TRUE(sink.plain.empty()) << "at byte " << i;
        ASSERT_TRUE(client->ReadData(&records[i], 1, &consumed));
        ASSERT_EQ(consumed, 1u);
    }
    EXPECT_EQ(sink.plain, "hello, records");
    client->Free();
}
