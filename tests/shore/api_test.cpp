// The bodies the page is drawn from: acknowledgements checked and kept,
// only what changed since a revision, availability from the reports and
// the alarms (and the same after thinning), CSV as spreadsheets read it,
// every body strict UTF-8; and the event hook that never holds the monitor.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "messages.h"
#include "shore/api.h"
#include "shore/dispatch.h"

using namespace shore_test;
namespace api = zelmora::shore::api;
namespace fs = std::filesystem;

namespace {

shore::Options one_registered(const std::string& name) {
    shore::Options o = live();
    o.stations = shore::parse_register("[[station]]\nmmsi = 992241234\nname = '" + name +
                                           "'\nlat = 43.37894\nlon = -8.39285\ninterval_s = 180\n",
                                       "reg.toml");
    o.learn = true;
    return o;
}

struct Api {
    explicit Api(shore::Options o = replay()) : w(":memory:", std::move(o)), src{&mu, &w.mon, &w.store, nullptr} {}
    Watch w;
    std::mutex mu;
    api::Sources src;
};

std::size_t lines(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = s.find("\r\n", at)) != std::string::npos; at += 2) ++n;
    return n;
}

}  // namespace

TEST(ShoreApi, AcknowledgementsAreCheckedKeptAndAFreshRaiseIsUnacknowledgedAgain) {
    Api a;
    Fields f;
    f.in2 = true;
    f.battery_v = 11.5;
    a.w.mon.handle(report(kT0, f), kWall);
    a.w.mon.handle(report(kT0, f, kMmsi + 1), kWall);
    EXPECT_EQ(a.w.station().unacknowledged, (std::vector<std::string>{"input2", "battery_low"}));
    EXPECT_EQ(api::status(a.src)["counts"]["unacknowledged"], 2);

    const auto ack = [&](const nlohmann::json& body) { return api::acknowledge(a.src, body, kWall); };
    for (const auto& [body, status] : std::vector<std::pair<nlohmann::json, int>>{
             {nlohmann::json::array(), 400},
             {{{"mmsi", 0}, {"by", "ana"}}, 400},
             {{{"mmsi", 1073741824}, {"by", "ana"}}, 400},
             {{{"mmsi", "992241234"}, {"by", "ana"}}, 400},
             {{{"mmsi", kMmsi}}, 400},
             {{{"mmsi", kMmsi}, {"by", ""}}, 400},
             {{{"mmsi", kMmsi}, {"by", std::string(65, 'a')}}, 400},
             {{{"mmsi", kMmsi}, {"by", "ana\x01"}}, 400},
             {{{"mmsi", kMmsi}, {"by", "ana"}, {"note", std::string(501, 'n')}}, 400},
             {{{"mmsi", kMmsi}, {"by", "ana"}, {"alarm", 3}}, 400},
             {{{"mmsi", kMmsi}, {"by", "ana"}, {"alarm", "racon"}}, 404},
             {{{"mmsi", 992249999}, {"by", "ana"}}, 404}}) {
        const auto r = ack(body);
        EXPECT_EQ(r.status, status) << body;
        EXPECT_TRUE(r.body["error"].is_string()) << body;
    }
    EXPECT_EQ(a.w.store.count("acks"), 0);

    // One alarm, with a note over two lines and a name that is not ASCII.
    const std::uint64_t rev = a.w.mon.rev();
    a.w.told();
    auto r = ack({{"mmsi", kMmsi}, {"alarm", "input2"}, {"by", "Bárbara"}, {"note", std::string(497, 'n') + "\nok"}});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body["event"]["event"], "acknowledged");
    EXPECT_EQ(r.body["event"]["alarms"], nlohmann::json::array({"input2"}));
    EXPECT_TRUE(r.body["event"]["id"].is_number());
    EXPECT_EQ(a.w.told(), Told{"acknowledged"});
    EXPECT_EQ(a.w.station().unacknowledged, std::vector<std::string>{"battery_low"});
    // Only the station acknowledged has changed since.
    const auto delta = api::stations(a.src, rev);
    EXPECT_FALSE(delta["full"]);
    ASSERT_EQ(delta["stations"].size(), 1u);
    EXPECT_EQ(delta["stations"][0]["mmsi"], kMmsi);
    EXPECT_EQ(delta["stations"][0]["unacknowledged"], nlohmann::json::array({"battery_low"}));
    EXPECT_EQ(api::stations(a.src, delta["rev"])["stations"].size(), 0u);
    EXPECT_EQ(api::stations(a.src, 0)["stations"].size(), 2u);

    // The rest at once; then the same alarm raised again wants a new acknowledgement.
    r = ack({{"mmsi", kMmsi}, {"by", "ana"}});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(a.w.station().unacknowledged.empty());
    f.in2 = false;
    a.w.mon.handle(report(kT0 + 180, f), kWall);
    EXPECT_TRUE(a.w.station().unacknowledged.empty());
    f.in2 = true;
    a.w.mon.handle(report(kT0 + 360, f), kWall);
    EXPECT_EQ(a.w.station().unacknowledged, std::vector<std::string>{"input2"});
    EXPECT_EQ(a.w.store.count("acks"), 2);
    EXPECT_EQ(api::station(a.src, kMmsi, 7).body["station"]["unacknowledged"], nlohmann::json::array({"input2"}));
}

TEST(ShoreApi, AvailabilityCountsReportsAndAlarmFreeTimeAndOutlivesThinning) {
    // Ten hours at one report every 180 s, but an hour with none (overdue
    // from 450 s after the last report until the next) and input 1 closed
    // for half an hour.
    Api a(one_registered("=NORTE, \"N1\""));
    Fields f;
    for (std::int64_t t = 0; t < 36000; t += 180) {
        if (t > 7200 && t < 10800) {
            for (std::int64_t s = t - 179; s <= t; ++s) a.w.mon.tick(kT0 + s);   // the main loop's second
            continue;
        }
        f.in1 = t >= 18000 && t < 19800;
        a.w.mon.handle(report(kT0 + t, f), kT0 + t);
    }
    const std::int64_t from = kT0, to = kT0 + 36000;
    const auto one = api::availability(a.src, from, to, kMmsi)["stations"];
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]["expected_reports"], 200);
    EXPECT_EQ(one[0]["received_reports"], 181);
    EXPECT_DOUBLE_EQ(one[0]["report_availability"].get<double>(), 181.0 / 200);
    const double overdue = 10800 - 7200 - 450 - 1, input1 = 1800;
    EXPECT_NEAR(one[0]["alarm_free"].get<double>(), 1 - (overdue + input1) / 36000, 1e-9);
    EXPECT_EQ(one[0]["category"], "none");
    // The same from the station's body, over all it holds.
    const auto st = api::station(a.src, kMmsi, 0).body;
    EXPECT_EQ(st["availability"]["received_reports"], 181);
    EXPECT_EQ(st["history"]["time"].size(), 181u);

    // Thinned to one report an hour, the figures stand.
    a.w.mon.handle(report(kT0 + 40 * 86400, f), kT0 + 40 * 86400);
    EXPECT_GT(a.w.mon.thin(30, kT0 + 40 * 86400), 150);
    EXPECT_LE(a.w.store.count("reports"), 12);
    EXPECT_EQ(api::availability(a.src, from, to, kMmsi)["stations"][0], one[0]);

    // CSV: the name with its comma and quotes kept in one field, and not taken for a formula.
    const auto csv = api::reports_csv(a.src, kMmsi, from, to);
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.text.substr(0, csv.text.find("\r\n")),
              "time,time_iso,mmsi,name,kind,battery_v,panel_a,charge_ah,lat,lon,light,racon,alarms,represents");
    EXPECT_NE(csv.text.find(",992241234,\"'=NORTE, \"\"N1\"\"\",dac1fi51,12.6,0.5,3.0,"), std::string::npos) << csv.text;
    EXPECT_EQ(lines(csv.text), 1 + static_cast<std::size_t>(a.w.store.count("reports")) - 1);
    const auto ev = api::events_csv(a.src, from, to, kMmsi);
    EXPECT_EQ(lines(ev.text), 1 + a.w.store.events_between(from, to, kMmsi).size());
    EXPECT_NE(ev.text.find(",alarm_raised,992241234,\"'=NORTE, \"\"N1\"\"\",\"{\"\"alarm\"\":\"\"input1\"\"}\"\r\n"),
              std::string::npos)
        << ev.text;
    EXPECT_EQ(api::reports_csv(a.src, 992249999, from, to).status, 404);
}

TEST(ShoreApi, EveryBodyIsStrictUtf8AndEventsPageBack) {
    Api a;
    const int in = a.w.mon.add_input("/var/log/ais-\xff\xfe.log", kWall);
    Fields f;
    for (int i = 0; i < 5; ++i) a.w.mon.handle(report(kT0 + 180 * i, f), kWall, in);
    a.w.mon.handle(report(kT0 + 720, f, 1073741823), kWall, in);
    const auto status = api::status(a.src);
    EXPECT_EQ(status.dump().find("ais-\\\\xFF\\\\xFE.log") != std::string::npos, true) << status.dump();
    EXPECT_EQ(status["clock"], "replay");
    EXPECT_EQ(status["feed"]["inputs"][0]["messages"], 6);
    for (const auto& body : {status, api::stations(a.src, 0), api::station(a.src, 1073741823, 7).body,
                             api::events(a.src, std::nullopt, 50, std::nullopt), api::unknown(a.src),
                             api::availability(a.src, kT0, kT0 + 3600, std::nullopt)})
        EXPECT_NO_THROW(body.dump()) << body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

    const auto page1 = api::events(a.src, std::nullopt, 1, std::nullopt);
    ASSERT_EQ(page1.size(), 1u);
    EXPECT_EQ(page1[0]["mmsi"], 1073741823);
    const auto page2 = api::events(a.src, std::nullopt, 10, page1[0]["id"].get<std::int64_t>());
    ASSERT_EQ(page2.size(), 1u);
    EXPECT_EQ(page2[0]["mmsi"], kMmsi);
    EXPECT_LT(page2[0]["id"], page1[0]["id"]);
}

TEST(ShoreDispatch, HooksRunAsideFailuresAreCountedAndASlowOneIsKilled) {
    const fs::path out = fs::temp_directory_path() / ("zelmora-hook-" + std::to_string(::getpid()));
    fs::remove(out);
    std::vector<std::string> said;
    std::mutex mu;
    const auto log = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(mu);
        said.push_back(s);
    };
    {
        shore::Dispatcher d({"cat >> " + out.string() + "; test \"$(wc -l < " + out.string() + ")\" -lt 3", 1}, log);
        for (int i = 0; i < 3; ++i) d.push("{\"event\":\"overdue\",\"n\":" + std::to_string(i) + "}\n");
    }
    std::ifstream in(out);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string got = buf.str();
    EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 3) << got;
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("exit status 1"), std::string::npos) << said[0];
    fs::remove(out);

    // One at a time, one waiting: the third is dropped; the slow one killed.
    said.clear();
    const auto start = std::chrono::steady_clock::now();
    {
        shore::Dispatcher d({"sleep 30", 1, 1, 1}, log);
        for (int i = 0; i < 3; ++i) {
            d.push("{}\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const auto s = d.status();
        EXPECT_EQ(s["dropped"], 1) << s;
        EXPECT_EQ(s["running"], 1) << s;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(said.size(), 3u);   // the drop, and two hooks killed
}
