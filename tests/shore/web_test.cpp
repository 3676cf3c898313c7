// The page's HTTP side without a browser: who may acknowledge, what a delta
// poll carries, the parameters refused with a reason, and how answers are
// compressed.
#include <gtest/gtest.h>

#include <httplib.h>

#include "centre.h"

namespace shore = zelmora::shore;
using centre::Centre;
using centre::Fields;
using centre::json;
using centre::kT0;

TEST(ShoreWeb, AcknowledgementOnlyFromThisMachineOrWithTheToken) {
    // From another machine: never without a token, only with the right one.
    EXPECT_FALSE(shore::may_write("192.0.2.7", "", ""));
    EXPECT_FALSE(shore::may_write("192.0.2.7", "Bearer s3cret", ""));
    EXPECT_FALSE(shore::may_write("192.0.2.7", "", "s3cret"));
    EXPECT_FALSE(shore::may_write("192.0.2.7", "Bearer s3cre", "s3cret"));
    EXPECT_FALSE(shore::may_write("192.0.2.7", "Bearer s3cret2", "s3cret"));
    EXPECT_FALSE(shore::may_write("192.0.2.7", "s3cret", "s3cret"));
    EXPECT_FALSE(shore::may_write("2001:db8::1", "Basic s3cret", "s3cret"));
    EXPECT_FALSE(shore::may_write("::ffff:192.0.2.7", "", ""));
    EXPECT_TRUE(shore::may_write("192.0.2.7", "Bearer s3cret", "s3cret"));
    // This machine's own addresses.
    for (const char* peer : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(shore::may_write(peer, "", "")) << peer;

    // From this machine, through the page: a JSON body only, then the monitor's answer.
    Centre c;
    Fields f;
    f.in1 = true;
    c.handle(centre::report(992240001, kT0, f));
    ASSERT_TRUE(c.serve({"s3cret", ""}));
    httplib::Client http(c.url);
    auto r = http.Post("/api/ack", R"({"mmsi":992240001,"by":"Ana","note":"crew sent"})", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 415) << r->body;
    r = http.Post("/api/ack", "{not json", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->body;
    EXPECT_TRUE(c.acks().empty());
    r = http.Post("/api/ack", R"({"mmsi":992240001,"by":"Ana","note":"crew sent"})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    ASSERT_EQ(c.acks().size(), 1u);
    EXPECT_EQ(c.acks()[0]["by"], "Ana");
}

TEST(ShoreWeb, ADeltaPollCarriesOnlyTheStationsThatChanged) {
    Centre c;
    Fields f;
    for (std::uint32_t i = 0; i < 5; ++i) c.handle(centre::report(992240000 + i, kT0 + i, f));
    // The monitor's own answers, nothing filled in.
    ASSERT_TRUE(c.serve_with(shore::WebApi{}));
    httplib::Client http(c.url);
    const auto get = [&](const std::string& path) {
        auto r = http.Get(path.c_str());
        EXPECT_TRUE(r && r->status == 200) << path;
        return r ? json::parse(r->body, nullptr, false) : json();
    };
    const json all = get("/api/stations");
    EXPECT_EQ(all["full"], true);
    EXPECT_EQ(all["stations"].size(), 5u);
    const std::uint64_t rev = all["rev"].get<std::uint64_t>();
    EXPECT_GT(rev, 0u);
    EXPECT_EQ(get("/api/stations?since=" + std::to_string(rev))["stations"].size(), 0u);

    f.in2 = true;
    c.handle(centre::report(992240003, kT0 + 600, f));
    const json delta = get("/api/stations?since=" + std::to_string(rev));
    EXPECT_EQ(delta["full"], false);
    ASSERT_EQ(delta["stations"].size(), 1u) << delta.dump();
    EXPECT_EQ(delta["stations"][0]["mmsi"], 992240003);
    EXPECT_GT(delta["rev"].get<std::uint64_t>(), rev);
    EXPECT_GT(delta["stations"][0]["rev"].get<std::uint64_t>(), rev);
}

TEST(ShoreWeb, ParametersAreCheckedAndAnswersCompressedWithGzipOnly) {
    EXPECT_EQ(shore::parse_time("1796748150"), 1796748150);
    EXPECT_EQ(shore::parse_time("2026-12-08T16:42:30Z"), 1796748150);
    EXPECT_EQ(shore::parse_time("2024-02-29T00:00:00Z"), 1709164800);
    EXPECT_EQ(shore::parse_time("1970-01-01T00:00:00Z"), 0);
    for (const char* bad : {"", "-5", "2026-02-29T00:00:00Z", "2026-12-08T24:00:00Z", "2026-12-08 16:42:30Z",
                            "2026-12-08T16:42:30", "2026-13-01T00:00:00Z", "1e9", "99999999999999999999"})
        EXPECT_FALSE(shore::parse_time(bad)) << bad;

    Centre c;
    Fields f;
    for (std::uint32_t i = 0; i < 40; ++i)
        c.handle(centre::aton(992240000 + i, kT0 + i, "BUOY " + std::to_string(i), 43.3 + i * 0.001, -8.4));
    c.handle(centre::report(1073741823, kT0 + 50, f));   // the highest MMSI the field holds
    ASSERT_TRUE(c.serve());
    httplib::Client http(c.url);
    const auto status = [&](const std::string& path) {
        auto r = http.Get(path.c_str());
        return r ? r->status : -1;
    };
    EXPECT_EQ(status("/api/station/1073741823"), 200);
    EXPECT_EQ(status("/api/station/992240003?days=0"), 200);
    EXPECT_EQ(status("/api/station/1073741824"), 400);
    EXPECT_EQ(status("/api/station/12ab"), 400);
    EXPECT_EQ(status("/api/station/992240003?days=-1"), 400);
    EXPECT_EQ(status("/api/stations?since=x"), 400);
    EXPECT_EQ(status("/api/events?limit=0"), 400);
    EXPECT_EQ(status("/api/events?mmsi=1073741824"), 400);
    EXPECT_EQ(status("/api/events?mmsi=992240003&limit=5"), 200);
    EXPECT_EQ(status("/api/availability?from=2026-12-01T00:00:00Z&to=1796748150"), 200);
    EXPECT_EQ(status("/api/availability?from=2026-12-08&to=1796748150"), 400);
    EXPECT_EQ(status("/api/availability?from=1796748150&to=1796000000"), 400);
    EXPECT_EQ(status("/api/export/reports.csv?from=0"), 400);   // whose reports?
    EXPECT_EQ(status("/api/export/reports.csv?mmsi=1073741823&to=2026-12-09T00:00:00Z"), 200);
    EXPECT_EQ(status("/api/export/events.csv?from=nope"), 400);
    auto r = http.Get("/api/station/1073741824");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "mmsi: a whole number from 0 to 1073741823\n");

    // What a browser asks for: gzip, never the library's slowest brotli.
    http.set_decompress(false);
    for (const char* path : {"/api/stations", "/", "/page/index.js"}) {
        r = http.Get(path, {{"Accept-Encoding", "gzip, deflate, br, zstd"}});
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->get_header_value("Content-Encoding"), "gzip") << path;
        EXPECT_EQ(r->get_header_value_count("Content-Encoding"), 1u) << path;
    }
    r = http.Get("/api/stations", {{"Accept-Encoding", "br"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Encoding"), "");
    EXPECT_EQ(json::parse(r->body)["stations"].size(), 41u);
    r = http.Get("/api/stations", {{"Accept-Encoding", "gzip;q=0"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Encoding"), "");
}

TEST(ShoreWeb, TextThatIsNotUtf8IsAFaultToldNotACrash) {
    Centre c;
    c.handle(centre::aton(992240001, kT0, "BUOY", 43.3, -8.4));
    shore::WebApi fns = c.api();
    fns.status = [](shore::api::Sources&) { return json{{"now", 1}, {"last_error", std::string("bad \xff byte")}}; };
    ASSERT_TRUE(c.serve_with(fns));
    httplib::Client http(c.url);
    auto r = http.Get("/api/status");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_NE(r->body.find("could not be written as JSON"), std::string::npos) << r->body;
    // And the page serves on.
    r = http.Get("/api/stations");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}
