// The report's round trip: what the firmware packs from its records, framed
// as its transponder load or carried over the air by the transponder model,
// read back by the shore's decoder field by field.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "integration_support.h"   // before the board API: its pin macros clash with the JSON headers
#include "ais/ais_support.h"
#include "comunicaciones_pc.h"
#include "program_support.h"

namespace ais = zelmora::ais;
using namespace integ;

namespace {

std::string text_of(const uint8_t* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find('\0'));
}

// Degrees from the unit's degrees, minutes and ten-thousandths of a minute.
double degrees(unsigned deg, unsigned min, unsigned tt, uint8_t hemisphere) {
    const double d = deg + (min + tt / 10000.0) / 60.0;
    return hemisphere == 'S' || hemisphere == 'W' ? -d : d;
}

double mean(const float* v, unsigned n) {
    float s = 0;
    for (unsigned i = 0; i < n; ++i) s += v[i];
    return n ? s / n : 0;
}

// Builds the report from the records as they are, frames it as command 18
// does, decodes the three sentences and compares every field with the
// records, each to its field's resolution.
void round_trip() {
    const stperiferico& p = periferico1;
    const stconfig_msg_ais& c = configuracion_ais;
    const stbaliza& z = balizaQ77;
    const unsigned id = p.cid_msg6;
    const float charge = fconversor_corriente_panel_solar_acumulada();
    composicion_tramas_meb_mensaje6();
    const std::string framed(reinterpret_cast<const char*>(p.cframe_tx), p.ibytes_mensaje_a_tx);
    std::vector<std::string> lines;
    for (size_t a = 0, e; (e = framed.find("\r\n", a)) != std::string::npos; a = e + 2)
        lines.push_back(framed.substr(a, e - a));
    ASSERT_EQ(lines.size(), 3u);
    std::vector<std::string> errors;
    const auto msgs = decode(lines, &errors);
    ASSERT_TRUE(errors.empty()) << errors[0];
    ASSERT_EQ(msgs.size(), 1u);
    const ais::Message& m = msgs[0];
    EXPECT_EQ(m.sentence, ais::Sentence::MEB);
    EXPECT_EQ(m.mmsi, p.lmmsi);
    EXPECT_EQ(m.dest_mmsi, p.lmmsi_destino_msg6);
    EXPECT_EQ(m.meb_index, p.cindice_msg6);
    EXPECT_EQ(m.meb_seq_id, p.creintentos_msg6);
    EXPECT_EQ(m.bits.size(), 448u);
    ASSERT_TRUE(m.report);
    const ais::Report& r = *m.report;
    auto num = [&](const char* key) { return r.find(key)->number().value_or(NAN); };

    // Steps of 0.05 and tenths, truncated: never above the reading, less than a step below.
    const struct {
        const char* key;
        double value, step;
    } scaled[] = {{"battery_v", z.fbateria, 0.05},
                  {"panel_a", z.fcorriente_panel_solar, 0.05},
                  {"charge_ah", charge, 0.05},
                  {"speed_kn", mean(l76lb.fspeed_gps_knots, l76lb.cmuestra_valida_speed), 0.1},
                  {"course_deg", mean(l76lb.frumbo_gps, l76lb.cmuestra_valida_rumbo), 0.1}};
    for (const auto& f : scaled) {
        EXPECT_LE(num(f.key), f.value + 1e-4) << f.key;
        EXPECT_GT(num(f.key), f.value - f.step) << f.key;
    }
    EXPECT_NEAR(num("vswr"), p.iq / 10.0, 1e-9);
    EXPECT_NEAR(num("lat_deg"), degrees(l76lb.cgrados_latitud, l76lb.cminutos_latitud,
                                        l76lb.idiez_milesimas_minutos_latitud, l76lb.cnorte_sur), 1e-9);
    EXPECT_NEAR(num("lon_deg"), degrees(l76lb.cgrados_longitud, l76lb.cminutos_longitud,
                                        l76lb.idiez_milesimas_minutos_longitud, l76lb.ceste_oeste), 1e-9);
    EXPECT_FALSE(r.find("heading_deg")->available());

    const unsigned status = z.cstatus_mppt + 4 * !!z.calarma_bateria + 8 * !!z.calarma_gps +
                            16 * !!z.calarma_entrada_externa1 + 32 * !!z.calarma_entrada_externa2 +
                            64 * !!z.calarma_entrada_externa3;
    const std::pair<const char*, int64_t> raw[] = {
        {"msg_id", id}, {"msg_id_end", id}, {"status", status}, {"charger", z.cstatus_mppt},
        {"alarm_low_battery", !!z.calarma_bateria}, {"alarm_gps", !!z.calarma_gps},
        {"alarm_input1", !!z.calarma_entrada_externa1}, {"alarm_input2", !!z.calarma_entrada_externa2},
        {"alarm_input3", !!z.calarma_entrada_externa3}, {"position_accuracy", 0},
        {"time_stamp", l76lb.csegundo_zda}, {"cs_unit", c.cclass_b_unit_flag_msg18},
        {"display", c.cclass_b_display_flag_msg18}, {"dsc", c.cclass_b_dsc_flag_msg18},
        {"band", c.cclass_b_band_flag_msg18}, {"msg22", c.cclass_b_msg22_flag_msg18},
        {"assigned", c.cassigned_mode_flag_msg18}, {"raim", c.craim_flag_msg18},
        {"comm_state_selector", c.ccommunication_state_selector_flag_msg18},
        {"comm_state", c.lcommunication_state_msg18}, {"ship_type", c.ctype_ship_and_cargo_msg19},
        {"to_bow_m", c.idimension_to_bow_msg19}, {"to_stern_m", c.idimension_to_stern_msg19},
        {"to_port_m", c.cdimension_to_port_msg19}, {"to_starboard_m", c.cdimension_to_startboard_msg19},
        {"fix_type", l76lb.cfix_status}, {"model", c.cmodel_code_msg24}, {"serial", c.lserial_number_msg24}};
    for (const auto& [key, want] : raw) EXPECT_EQ(r.find(key)->raw, want) << key;
    EXPECT_TRUE(r.ids_match());
    EXPECT_EQ(r.find("name")->text, text_of(c.cnombre_msg19, sizeof c.cnombre_msg19));
    EXPECT_EQ(r.find("callsign")->text, text_of(c.ccall_sing_msg24, sizeof c.ccall_sing_msg24));
    EXPECT_EQ(r.find("vendor_id")->text, text_of(c.cid_vendor_msg24, sizeof c.cid_vendor_msg24));
}

}  // namespace

TEST(RoundTrip, TheFirmwaresLoadReadsBackFieldByField) {
    aisfw::Bench t;
    t.identified();
    periferico1.cextraigo = 0;
    periferico1.cindice_msg6 = 1;
    periferico1.ctipo_aton = 3;
    periferico1.ifrecuencia_msg6 = 180;

    // The default station off Galicia, charging in the afternoon.
    balizaQ77.fbateria = 12.87f;
    balizaQ77.fcorriente_panel_solar = 2.31f;
    balizaQ77.famperios_hora_panel_solar_acumulados = 0.37f;
    balizaQ77.cstatus_mppt = 1;
    periferico1.iq = 12;
    l76lb.fspeed_gps_knots[0] = 0.1f;
    l76lb.cmuestra_valida_speed = 1;
    l76lb.cmuestra_valida_rumbo = 0;
    l76lb.cgrados_latitud = 43, l76lb.cminutos_latitud = 22, l76lb.idiez_milesimas_minutos_latitud = 7364;
    l76lb.cnorte_sur = 'N';
    l76lb.cgrados_longitud = 8, l76lb.cminutos_longitud = 23, l76lb.idiez_milesimas_minutos_longitud = 5710;
    l76lb.ceste_oeste = 'W';
    l76lb.csegundo_zda = 25;
    l76lb.cfix_status = 1;
    l76lb.cposicion_gps = 1;
    {
        SCOPED_TRACE("north-west, no alarms");
        round_trip();
    }

    // Every alarm, no charge, a fix in the south-east, identifier 255.
    balizaQ77.fbateria = 11.43f;
    balizaQ77.fcorriente_panel_solar = 0.0f;
    balizaQ77.famperios_hora_panel_solar_acumulados = 48.66f;
    balizaQ77.cstatus_mppt = 3;
    balizaQ77.calarma_bateria = balizaQ77.calarma_gps = 1;
    balizaQ77.calarma_entrada_externa1 = balizaQ77.calarma_entrada_externa2 = balizaQ77.calarma_entrada_externa3 = 1;
    periferico1.iq = 999;
    periferico1.cid_msg6 = 255;
    l76lb.fspeed_gps_knots[1] = 7.37f;
    l76lb.cmuestra_valida_speed = 2;
    l76lb.frumbo_gps[0] = 359.93f;
    l76lb.frumbo_gps[1] = 359.99f;
    l76lb.cmuestra_valida_rumbo = 2;
    l76lb.cgrados_latitud = 33, l76lb.cminutos_latitud = 51, l76lb.idiez_milesimas_minutos_latitud = 5123;
    l76lb.cnorte_sur = 'S';
    l76lb.cgrados_longitud = 151, l76lb.cminutos_longitud = 12, l76lb.idiez_milesimas_minutos_longitud = 3456;
    l76lb.ceste_oeste = 'E';
    l76lb.csegundo_zda = 59;
    l76lb.cfix_status = 2;
    {
        SCOPED_TRACE("south-east, every alarm, id 255");
        round_trip();
    }
    EXPECT_EQ(periferico1.cid_msg6, 0);
}

// Twenty minutes of the whole board: every Message 6 on the air, decoded,
// carries what the status report printed before it showed. Input 2 latches
// at minute 7, input 1 is held from minute 9 to 14, and the battery runs
// down through the low-battery threshold.
TEST(RoundTrip, EveryReportOnTheAirAgreesWithTheStatusBeforeIt) {
    std::ifstream f(std::string(ZELMORA_SOURCE_DIR) + "/sim/scenarios/default.toml");
    const std::string toml((std::istreambuf_iterator<char>(f)), {});
    const zsim::Scenario sc = zsim::Scenario::from_text(
        toml + "[[input]]\nat = \"00:07:00\"\nnumber = 2\nstate = \"closed\"\n"
               "[[input]]\nat = \"00:09:00\"\nnumber = 1\nstate = \"closed\"\n"
               "[[input]]\nat = \"00:14:00\"\nnumber = 1\nstate = \"open\"\n"
               "[battery]\npoints = [[\"00:00:00\", 12.9], [\"00:20:00\", 11.4]]\n",
        "default+");
    Unit u(sc);
    u.b.run_for(19 * 60 * kSec);

    std::vector<std::string> errors;
    const auto msgs = decode(u.air, &errors);
    EXPECT_TRUE(errors.empty()) << errors[0];
    size_t compared = 0, reports = 0, lows = 0;
    std::vector<size_t> loads;   // the console's length at each report load
    for (const Unit::Line& l : u.sent)
        if (l.text.rfind("!AIMEB,3,1,", 0) == 0) loads.push_back(l.console);
    std::string inputs_seen;
    for (const ais::Message& m : msgs) {
        if (m.type != 6) continue;
        ++reports;
        ASSERT_TRUE(m.report);
        EXPECT_EQ(m.mmsi, kOwnMmsi);
        EXPECT_EQ(m.dest_mmsi, kDestination);
        // Each transmission carries the load before it, which no report
        // precedes the first measurement.
        ASSERT_LE(reports, loads.size());
        const std::string before = u.console().substr(0, loads[reports - 1]);
        const size_t st = before.rfind("STATUS: ");
        ASSERT_NE(st, std::string::npos);
        ++compared;
        const std::string s = before.substr(st);
        SCOPED_TRACE(s.substr(0, 22));
        const ais::Report& r = *m.report;
        float volts = 0, amps = 0;
        unsigned lat_d, lat_m, lat_t, lon_d, lon_m, lon_t;
        char ns, ew;
        ASSERT_EQ(std::sscanf(s.c_str() + s.find("Battery:"), "Battery:%f", &volts), 1);
        ASSERT_EQ(std::sscanf(s.c_str() + s.find("Current:"), "Current:%fA", &amps), 1);
        ASSERT_EQ(std::sscanf(s.c_str() + s.find("Latitude: "), "Latitude: %u*%u.%u%c\tLongitude: %u*%u.%u%c",
                              &lat_d, &lat_m, &lat_t, &ns, &lon_d, &lon_m, &lon_t, &ew), 8);
        // Printed to 2 decimals, packed in steps of 0.05 truncated.
        for (const auto& [key, shown] : {std::pair<const char*, float>{"battery_v", volts}, {"panel_a", amps}}) {
            EXPECT_LE(*r.find(key)->number(), shown + 0.0051) << key;
            EXPECT_GT(*r.find(key)->number(), shown - 0.0551) << key;
        }
        EXPECT_NEAR(*r.find("lat_deg")->number(), degrees(lat_d, lat_m, lat_t, ns), 1e-9);
        EXPECT_NEAR(*r.find("lon_deg")->number(), degrees(lon_d, lon_m, lon_t, ew), 1e-9);
        const std::string charger = s.substr(s.find("):") + 2, s.find("\r\n", s.find("):")) - s.find("):") - 2);
        EXPECT_EQ(r.find("charger")->label(), charger);
        const bool low = s.find("\tAlarm low battery") < s.find("Status MPPT");
        EXPECT_EQ(r.find("alarm_low_battery")->flag(), low);
        lows += low;
        for (int i = 1; i <= 3; ++i) {
            const bool yes = s.find("Alarm input external " + std::to_string(i) + ":YES") != std::string::npos;
            EXPECT_EQ(r.find("alarm_input" + std::to_string(i))->flag(), yes) << i;
            inputs_seen += yes ? '1' + (i - 1) : '-';
        }
        inputs_seen += ' ';
    }
    EXPECT_EQ(reports, u.b.transponder().counters().msg6);
    EXPECT_EQ(compared, reports);
    EXPECT_EQ(compared, 6u);   // 13:48:30 ... 14:03:30: nothing at 13:45:30, before the first measurement
    EXPECT_EQ(inputs_seen, "--- --- 12- 12- -2- -2- ");
    EXPECT_GE(lows, 1u);

    // The shore program reads the same log: one report per transmission, nothing on stderr.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("zelmora-air-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream log(dir / "air.nmea");
        for (const std::string& l : u.air) log << l << "\n";
    }
    const std::string cmd = program_command(ZELMORA_MSG6) + " " + (dir / "air.nmea").string() + " >" +
                            (dir / "out").string() + " 2>" + (dir / "err").string();
    const int st = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::ifstream out(dir / "out"), err(dir / "err");
    const std::string o((std::istreambuf_iterator<char>(out)), {}), e((std::istreambuf_iterator<char>(err)), {});
    EXPECT_EQ(count(o, "Message 6 from 992241234 to 002241234 (repeat 0, seqno "), reports);
    EXPECT_EQ(count(o, "monitoring report, DAC 1 FI 51"), reports);
    EXPECT_EQ(e, "");
    std::filesystem::remove_all(dir);
}
