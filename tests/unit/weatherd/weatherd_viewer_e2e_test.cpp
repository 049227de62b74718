// The real viewer, headless, against nimbra-weatherd serving the fake provider's forecast:
// a user picks 广东 / 广州 / 越秀区 and presses the three buttons.
#include <gtest/gtest.h>

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

  // One request for the three pages, with the district's own coordinates.
  std::vector<Asked> asked = fake.asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_LT(std::fabs(asked[0].latitude - 23.1285), 1e-3);
  EXPECT_LT(std::fabs(asked[0].longitude - 113.2668), 1e-3);

  std::string err = viewer.close_and_wait();
  EXPECT_TRUE(Contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

}  // namespace
