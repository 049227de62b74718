// Pages that must wait for a slow provider, under load: each has one deadline for its whole
// wait, a page whose data is kept never queues behind them, services sharing a directory
// never ask twice for a place, and a stop ends the waiting at once. Each case takes as long
// as its deadline, some 20 s.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/unit/weatherd/weatherd_harness.h"

using namespace weatherd_test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> open_meteo(const std::string& upstream, const TempDir& cache)
{
    return {"--source", "open-meteo", "--upstream", upstream, "--cache-dir", cache.str()};
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Asks for each code's page at once, one client each; how long each took, -1 when it got
// no answer with a status of 200.
std::vector<double> ask_at_once(const Service& service, const std::vector<std::string>& codes)
{
    std::vector<double> took(codes.size(), -1);
    std::vector<std::thread> viewers;
    for (size_t i = 0; i < codes.size(); ++i)
        viewers.emplace_back([&, i] {
            auto start = Clock::now();
            httplib::Result result = service.get_path("/weather/" + codes[i] + ".shtml");
            if (result && result->status == 200)
                took[i] = seconds_since(start);
        });
    for (std::thread& viewer : viewers)
        viewer.join();
    return took;
}

size_t times_asked(const std::vector<Asked>& asked, const Asked& place)
{
    return std::count_if(asked.begin(), asked.end(), [&](const Asked& one) {
        return std::abs(one.latitude - place.latitude) < 1e-3 && std::abs(one.longitude - place.longitude) < 1e-3;
    });
}

}  // namespace

// More pages waiting for the provider than there are workers: a page whose forecast is kept
// on disk is still answered at once, and every waiting page by its deadline.
TEST(WaitingPages, KeptDataNeverQueuesBehindPagesWaitingForTheProvider)
{
    FakeOpenMeteo fake;
    TempDir cache;
    const std::string kept_code = "101010101";
    {
        Service warm(open_meteo(fake.url(), cache));
        warm.page_of(kept_code);  // now on disk, fresh for half an hour
        ASSERT_EQ(warm.process.stop_and_wait(), 0);
    }
    fake.set(Answer::kGood, std::chrono::seconds(6));
    Service service(open_meteo(fake.url(), cache));
    std::vector<std::string> codes = city_codes(service, 41);
    codes.erase(std::remove(codes.begin(), codes.end(), kept_code), codes.end());
    codes.resize(40);  // more than the 32 waiting workers

    std::vector<double> took;
    std::thread load([&] { took = ask_at_once(service, codes); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto start = Clock::now();
    httplib::Result kept = service.get_path("/weather/" + kept_code + ".shtml");
    double kept_took = seconds_since(start);
    load.join();

    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->get_header_value("X-Nimbra-Source"), "open-meteo");
    EXPECT_LT(kept_took, 3.0) << "a page kept on disk waited behind pages waiting for the provider";
    for (double seconds : took) {
        EXPECT_GE(seconds, 0) << "a waiting page got no page";
        EXPECT_LT(seconds, 21.0) << "a waiting page waited past its deadline";
    }
}

// Two services on one directory, a provider that takes 7 s: a place another service holds is
// served from what is kept, never asked for again, and each page comes by its deadline.
TEST(WaitingPages, ServicesSharingADirectoryNeverAskTwiceAndAnswerInTime)
{
    FakeOpenMeteo fake;
    fake.set(Answer::kGood, std::chrono::seconds(7));
    TempDir cache;
    Service first(open_meteo(fake.url(), cache)), second(open_meteo(fake.url(), cache));
    std::vector<std::string> codes = city_codes(first, 6);
    std::vector<double> took_first, took_second;
    std::thread other([&] { took_second = ask_at_once(second, codes); });
    took_first = ask_at_once(first, codes);
    other.join();

    for (const auto* took : {&took_first, &took_second})
        for (double seconds : *took) {
            EXPECT_GE(seconds, 0);
            EXPECT_LT(seconds, 21.0) << "a page waited past its deadline";
        }
    std::vector<Asked> forecasts = fake.asked(), air = fake.air_quality_asked();
    for (const Asked& place : forecasts)
        EXPECT_EQ(times_asked(forecasts, place), 1u) << "a forecast asked for twice";
    for (const Asked& place : air)
        EXPECT_EQ(times_asked(air, place), 1u) << "an air quality asked for twice";
    for (const Service* service : {&first, &second})
        EXPECT_EQ(service->process.log().find("asked without it"), std::string::npos) << service->process.log();
}

// SIGTERM while pages wait for a provider that takes 3 s each: every waiting page is
// answered from what is kept or closed, and the service ends at once, leaving no temporary
// file in its directory.
TEST(WaitingPages, AStopEndsTheWaitingAtOnce)
{
    FakeOpenMeteo fake;
    fake.set(Answer::kGood, std::chrono::seconds(3));
    TempDir cache;
    Service service(open_meteo(fake.url(), cache));
    std::vector<std::string> codes = city_codes(service, 24);
    std::thread load([&] { ask_at_once(service, codes); });
    while (fake.asked().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    auto start = Clock::now();
    int status = service.process.stop_and_wait();
    double took = seconds_since(start);
    load.join();
    EXPECT_EQ(status, 0) << service.process.log();
    EXPECT_LT(took, 8.0) << "the stop waited for the waiting pages";
    for (const auto& entry : std::filesystem::directory_iterator(cache.path())) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.ends_with(".json") || name.ends_with(".lock")) << "left behind: " << name;
    }
}
