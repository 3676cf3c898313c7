// The page as an operator uses it, in headless Chromium: sorting, filtering
// and paging 250 stations, acknowledging an alarm, a station's availability
// and exports, and a name carrying markup.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <httplib.h>

#include "centre.h"
#include "shore/browser.h"

namespace fs = std::filesystem;
namespace shore = zelmora::shore;
using centre::Centre;
using centre::Fields;
using centre::json;
using centre::kT0;

namespace {

constexpr std::uint32_t kFirst = 992240000;
constexpr int kStations = 250;

// Every tenth station has input 1 closed; batteries differ by station.
double battery_of(int i) { return 11.9 + ((i * 37) % 97) * 0.01; }   // as reported: in 0.05 V

void fill(Centre& c) {
    for (int i = 0; i < kStations; ++i) {
        const std::uint32_t mmsi = kFirst + static_cast<std::uint32_t>(i);
        char name[24];
        std::snprintf(name, sizeof name, "BUOY %03d", i);
        c.handle(centre::aton(mmsi, kT0 + i, name, 43.0 + (i % 25) * 0.02, -8.9 + (i / 25) * 0.03));
        Fields f;
        f.battery_v = battery_of(i);
        f.in1 = i % 10 == 3;
        f.lat = 43.0 + (i % 25) * 0.02;
        f.lon = -8.9 + (i / 25) * 0.03;
        // One station heard often enough for its interval to be learned: its availability has figures.
        if (i == 13)
            for (int k = 1; k <= 4; ++k) c.handle(centre::report(mmsi, kT0 + i + 60 * k, f));
        c.handle(centre::report(mmsi, kT0 + 300 + i, f));
    }
}

class ShorePage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = fs::path(ZELMORA_BUILD_DIR) / "shore-page";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        browser_ = new shore::Browser;
        if (!browser_->start(dir_.string(), 1400, 1000, why_)) {
            delete browser_;
            browser_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete browser_;
        browser_ = nullptr;
    }
    void SetUp() override {
        if (!browser_) GTEST_SKIP() << "no headless browser: " << why_;
    }
    static shore::Browser& b() { return *browser_; }
    static json js(const std::string& expr) {
        const auto v = browser_->eval(expr);
        EXPECT_TRUE(v) << expr << ": " << browser_->error();
        return v ? *v : json();
    }
    // The MMSIs of the rows drawn, top down.
    static std::vector<std::uint32_t> rows() {
        return js("[...document.querySelectorAll('#stations tbody tr')].map(r => Number(r.dataset.mmsi))")
            .get<std::vector<std::uint32_t>>();
    }

    static inline fs::path dir_;
    static inline std::string why_;
    static inline shore::Browser* browser_ = nullptr;
};

}  // namespace

TEST_F(ShorePage, SortsFiltersAndPagesTheStationsItHolds) {
    Centre c;
    fill(c);
    ASSERT_TRUE(c.serve());
    ASSERT_TRUE(b().open(c.url + "/")) << b().error();
    ASSERT_TRUE(b().wait("document.querySelectorAll('#stations tbody tr').length === 100")) << b().error();
    EXPECT_EQ(js("document.getElementById('range').textContent"), "1–100 of 250");

    // By default the unacknowledged alarms first: the 25 stations with input 1 closed.
    auto r = rows();
    for (int i = 0; i < 25; ++i) EXPECT_EQ((r[i] - kFirst) % 10, 3u) << i;
    EXPECT_NE((r[25] - kFirst) % 10, 3u);

    // By battery, lowest first, then highest first; equals by MMSI.
    httplib::Client http(c.url);
    const auto all = json::parse(http.Get("/api/stations")->body)["stations"];
    std::vector<std::pair<double, std::uint32_t>> by_battery;
    for (const auto& s : all) by_battery.emplace_back(s["battery_v"].get<double>(), s["mmsi"].get<std::uint32_t>());
    std::sort(by_battery.begin(), by_battery.end());
    js("document.querySelector('th[data-key=battery_v]').click()");
    r = rows();
    ASSERT_EQ(r.size(), 100u);
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(r[i], by_battery[i].second) << i;
    std::stable_sort(by_battery.begin(), by_battery.end(), [](auto& a, auto& b) { return a.first > b.first; });
    js("document.querySelector('th[data-key=battery_v]').click()");
    r = rows();
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(r[i], by_battery[i].second) << i;
    EXPECT_EQ(js("document.querySelector('th[data-key=battery_v]').className"), "sortable desc");

    // Paging: the third page holds the last 50, and the pager stops there.
    js("document.getElementById('next').click(); document.getElementById('next').click()");
    EXPECT_EQ(rows().size(), 50u);
    EXPECT_EQ(js("document.getElementById('range').textContent"), "201–250 of 250");
    EXPECT_EQ(js("document.getElementById('next').disabled"), true);

    // In alarm only: 25 stations, one page; then a name among them.
    js("const s = document.getElementById('filter'); s.value = 'alarm'; s.dispatchEvent(new Event('change'))");
    r = rows();
    EXPECT_EQ(r.size(), 25u);
    for (auto m : r) EXPECT_EQ((m - kFirst) % 10, 3u) << m;
    EXPECT_EQ(js("document.getElementById('range').textContent"), "1–25 of 25 (250 in all)");
    js("const q = document.getElementById('q'); q.value = 'buoy 01'; q.dispatchEvent(new Event('input'))");
    EXPECT_EQ(rows(), (std::vector<std::uint32_t>{kFirst + 13}));
    // By MMSI, among all: 99224024x, ten of them.
    js("document.getElementById('filter').value = 'all'; document.getElementById('filter').dispatchEvent(new Event('change'));"
       "const q2 = document.getElementById('q'); q2.value = '99224024'; q2.dispatchEvent(new Event('input'))");
    EXPECT_EQ(rows().size(), 10u);
    // The view is kept in the address.
    EXPECT_EQ(js("location.hash"), "#sort=battery_v%3Adesc&q=99224024");
}

TEST_F(ShorePage, AnAlarmIsAcknowledgedWithANameAndANote) {
    Centre c;
    fill(c);
    ASSERT_TRUE(c.serve());
    ASSERT_TRUE(b().open(c.url + "/#q=BUOY%20003")) << b().error();
    ASSERT_TRUE(b().wait("document.querySelector('#stations tbody tr button.ack')")) << b().error();
    js("localStorage.setItem('zelmora-shore.ack.by', 'Ana Souto')");
    js("document.querySelector('#stations tbody tr button.ack').click()");
    ASSERT_TRUE(b().wait("document.getElementById('ackdlg') && document.getElementById('ackdlg').open"));
    // The name is remembered from the last time.
    EXPECT_EQ(js("document.getElementById('ack-by').value"), "Ana Souto");
    js("document.getElementById('ack-note').value = 'crew on the way'; document.getElementById('ack-ok').click()");
    ASSERT_TRUE(b().wait("!document.getElementById('ackdlg').open")) << js("document.getElementById('ack-error').textContent");
    ASSERT_EQ(c.acks().size(), 1u);
    const json req = c.acks()[0];
    EXPECT_EQ(req["mmsi"], kFirst + 3);
    EXPECT_EQ(req["by"], "Ana Souto");
    EXPECT_EQ(req["note"], "crew on the way");
    EXPECT_FALSE(req.contains("alarm"));   // all of the station's
    // The row follows at once: nothing left to acknowledge, the alarm still on.
    EXPECT_TRUE(b().wait("!document.querySelector('#stations tbody tr button.ack')")) << b().error();
    EXPECT_EQ(js("document.querySelectorAll('#stations tbody tr .unack').length"), 0);
    EXPECT_EQ(js("document.querySelector('#stations tbody tr .alarms').textContent"), "input1");
}

TEST_F(ShorePage, TheStationPageShowsAvailabilityStatesAndExports) {
    Centre c;
    fill(c);
    ASSERT_TRUE(c.serve());
    httplib::Client http(c.url);
    const auto answer = http.Get("/api/station/992240013?days=7");
    ASSERT_TRUE(answer && answer->status == 200);
    const json a = json::parse(answer->body)["availability"];

    ASSERT_TRUE(b().open(c.url + "/station/992240013")) << b().error();
    ASSERT_TRUE(b().wait("document.querySelector('#availability th')")) << b().error();
    const std::string shown = js("document.getElementById('availability').textContent");
    const auto pct = [](const json& v) {
        char s[16];
        std::snprintf(s, sizeof s, "%.1f %%", v.get<double>() * 100);
        return std::string(s);
    };
    EXPECT_NE(shown.find(pct(a["report_availability"])), std::string::npos) << shown;
    EXPECT_NE(shown.find(pct(a["alarm_free"])), std::string::npos) << shown;
    EXPECT_NE(shown.find(std::to_string(a["received_reports"].get<long>()) + " received of " +
                         std::to_string(a["expected_reports"].get<long>())),
              std::string::npos)
        << shown;
    // The light and RACON in the summary and charted as steps, the alarms in their own chart.
    EXPECT_NE(js("document.getElementById('summary').textContent").get<std::string>().find("Light"), std::string::npos);
    EXPECT_TRUE(b().wait("window.Chart && Chart.getChart('light') && Chart.getChart('racon') && Chart.getChart('alarms')"));
    EXPECT_EQ(js("Chart.getChart('light').data.datasets[0].stepped"), true);
    EXPECT_EQ(js("Chart.getChart('alarms').data.datasets.map(d => d.label)"), json::array({"input1"}));
    // Export of the period chosen: the last 7 days up to its latest report (kT0 + 313).
    EXPECT_EQ(js("new URL(document.getElementById('export-reports').href).search"),
              "?mmsi=992240013&from=2026-12-01T13:50:13Z&to=2026-12-08T13:50:13Z");
    EXPECT_EQ(js("new URL(document.getElementById('export-events').href).search"),
              "?mmsi=992240013&from=2026-12-01T13:50:13Z&to=2026-12-08T13:50:13Z");
    const auto csv = http.Get("/api/export/reports.csv?mmsi=992240013&from=2026-12-01T13:50:13Z&to=2026-12-08T13:50:13Z");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    // And the map, with nothing fetched from outside.
    EXPECT_EQ(js("document.querySelectorAll('#map canvas').length > 0"), true);
    EXPECT_EQ(js("performance.getEntriesByType('resource').filter(e => !e.name.startsWith(location.origin)).length"), 0);
}

TEST_F(ShorePage, MarkupInAStationNameIsShownAsTextNeverRun) {
    Centre c;
    const std::string name = "<img src=x onerror=document.body.dataset.pwned=1>";
    c.handle(centre::aton(kFirst, kT0, name, 43.3, -8.4));
    Fields f;
    f.in2 = true;
    c.handle(centre::report(kFirst, kT0 + 60, f));
    ASSERT_TRUE(c.serve());
    for (const std::string page : {"/", "/station/992240000"}) {
        ASSERT_TRUE(b().open(c.url + page)) << b().error();
        const std::string where = page == "/" ? "#stations tbody" : "#title";
        ASSERT_TRUE(b().wait("document.querySelector('" + where + "') && document.querySelector('" + where +
                             "').textContent.includes('onerror')"))
            << page;
        // Events and tooltips have their turn too.
        ASSERT_TRUE(b().wait("document.querySelector('#events tbody tr')")) << page;
        js("new Promise(r => setTimeout(r, 300))");
        EXPECT_EQ(js("document.querySelectorAll('img[src=x]').length"), 0) << page;
        EXPECT_EQ(js("document.body.dataset.pwned === undefined"), true) << page;
        EXPECT_NE(js("document.querySelector('" + where + "').textContent").get<std::string>().find(name),
                  std::string::npos)
            << page;
        EXPECT_NE(js("document.querySelector('#events tbody').textContent").get<std::string>().find(name),
                  std::string::npos)
            << page;
    }
    // The acknowledgement dialog names it too.
    ASSERT_TRUE(b().open(c.url + "/")) << b().error();
    ASSERT_TRUE(b().wait("document.querySelector('#stations tbody tr button.ack')"));
    js("document.querySelector('#stations tbody tr button.ack').click()");
    EXPECT_NE(js("document.getElementById('ack-title').textContent").get<std::string>().find(name), std::string::npos);
    EXPECT_EQ(js("document.querySelectorAll('img[src=x]').length"), 0);
    EXPECT_EQ(js("document.body.dataset.pwned === undefined"), true);
}
