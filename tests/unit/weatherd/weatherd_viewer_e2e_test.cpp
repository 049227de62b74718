// The real viewer, headless, against nimbra-weatherd serving the fake provider's forecast:
// a user picks 广东 / 广州 / 越秀区 and presses the three buttons; then places whose point
// the data had under another name or that are banners, each asked for at its own position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "tests/unit/viewer_e2e/viewer_session.h"
#include "tests/unit/weatherd/weatherd_harness.h"

using namespace viewer_e2e;
using namespace weatherd_test;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Where a place's government sits (WGS-84, read off a map to about a kilometre), and how far
// the point asked for may lie from it: the data's points are district centres.
struct Seat {
  double latitude, longitude;
};
constexpr double kNearEnoughKm = 5.0;

double DistanceKm(const Asked& asked, Seat seat) {
  constexpr double kEarthRadiusKm = 6371.0, kRadians = M_PI / 180.0;
  double north = (asked.latitude - seat.latitude) * kRadians;
  double east = (asked.longitude - seat.longitude) * kRadians * std::cos(seat.latitude * kRadians);
  return kEarthRadiusKm * std::hypot(north, east);
}

int IndexOf(const std::vector<std::string>& items, const std::string& text) {
  auto found = std::find(items.begin(), items.end(), text);
  EXPECT_NE(found, items.end()) << text;
  return found == items.end() ? 0 : int(found - items.begin());
}

// The program copy names its servers by a four-digit port, so the service must take one.
std::unique_ptr<ServiceProcess> StartOnFourDigitPort(std::vector<std::string> args, int& port) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 20; ++attempt) {
    int candidate = std::uniform_int_distribution<int>(2000, 9999)(random);
    if (candidate == 8370)
      continue;
    std::vector<std::string> command = {NIMBRA_WEATHERD, "--port", std::to_string(candidate)};
    command.insert(command.end(), args.begin(), args.end());
    auto service = std::make_unique<ServiceProcess>(command);
    if ((port = service->WaitReady()) == candidate)
      return service;
  }
  port = 0;
  return nullptr;
}

TEST(WeatherdViewer, TheThreeButtonsShowTheProvidersForecastForThePlacePicked) {
  FakeOpenMeteo fake;
  TempDir cache;
  int port = 0;
  auto service = StartOnFourDigitPort({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()}, port);
  ASSERT_TRUE(service) << "nimbra-weatherd did not start on a four-digit port";
  ProgramCopy copy(port, std::nullopt);
  nimbra::testing::run_command({"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
  Viewer viewer(copy, true);

  viewer.pick("组合框1", 0);
  ASSERT_EQ(viewer.items("组合框2").at(0), "广州");
  viewer.pick("组合框2", 0);
  ASSERT_EQ(viewer.items("组合框3").at(0), "越秀区");
  viewer.pick("组合框3", 0);

  viewer.click("按钮1");
  std::string forecast = viewer.page(int(viewer.visits().size()));
  std::vector<std::string> temperatures;
  for (int d = 1; d <= 7; ++d)
    temperatures.insert(temperatures.end(), {std::to_string(30 + d) + "℃", std::to_string(10 + d) + "℃"});
  EXPECT_EQ(Enclosed(forecast, "<strong>", "</strong>"), temperatures) << forecast;
  EXPECT_TRUE(Contains(forecast, "越秀区 7天天气预报")) << forecast;

  viewer.click("按钮2");
  std::string live = viewer.page(int(viewer.visits().size()));
  EXPECT_EQ(Count(live, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << live;
  EXPECT_TRUE(Contains(live, "数据来源 Open-Meteo.com（CC BY 4.0）")) << live;

  viewer.click("按钮3");
  std::string living = viewer.page(int(viewer.visits().size()));
  EXPECT_TRUE(Contains(living, "紫外线指数</dt>\n<dd><b>强</b>")) << living;

  // One request for the three pages, at the district's own position (越秀区's government).
  std::vector<Asked> asked = fake.asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_LT(DistanceKm(asked[0], {23.129, 113.264}), kNearEnoughKm);

  std::string err = viewer.close_and_wait();
  EXPECT_TRUE(Contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

// 上党区 is the former 长治县, which is where the data has its point; 东乌珠穆沁旗 is a banner
// of a 盟, a kind of city the file did not have before.
TEST(WeatherdViewer, RenamedPlacesAndBannersAreAskedForAtTheirOwnPosition) {
  FakeOpenMeteo fake;
  TempDir cache;
  int port = 0;
  auto service = StartOnFourDigitPort({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()}, port);
  ASSERT_TRUE(service) << "nimbra-weatherd did not start on a four-digit port";
  ProgramCopy copy(port, std::nullopt);
  nimbra::testing::run_command({"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
  Viewer viewer(copy, true);

  struct Case {
    int province;
    const char *city, *district;
    Seat seat;
  } cases[] = {{9, "长治", "上党区", {36.05, 113.05}}, {7, "锡林郭勒盟", "东乌珠穆沁旗", {45.51, 116.97}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.district);
    viewer.pick("组合框1", c.province);
    viewer.pick("组合框2", IndexOf(viewer.items("组合框2"), c.city));
    viewer.pick("组合框3", IndexOf(viewer.items("组合框3"), c.district));
    size_t before = fake.asked().size();
    viewer.click("按钮1");
    EXPECT_TRUE(Contains(viewer.page(int(viewer.visits().size())), std::string(c.district) + " 7天天气预报"));
    std::vector<Asked> asked = fake.asked();
    ASSERT_EQ(asked.size(), before + 1);
    EXPECT_LT(DistanceKm(asked.back(), c.seat), kNearEnoughKm)
        << asked.back().latitude << ", " << asked.back().longitude;
  }
  std::string err = viewer.close_and_wait();
  EXPECT_TRUE(Contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

}  // namespace
