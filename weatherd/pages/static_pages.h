// The notice server's files and the weather service's fixed files: stylesheets, scripts,
// the two banner pages, the download page, the place index and the 404 page.
#pragma once

#include <string>
#include <string_view>

#include "weatherd/weather/places.h"
#include "weatherd/weather/weather_model.h"

namespace weatherd {

struct StaticFile {
    const char* path;
    const char* content_type;
    const char* body;
};

// Stylesheets and scripts the page head and the city pages name.
const StaticFile* FindStaticFile(std::string_view path);
const StaticFile* StaticFilesBegin();
const StaticFile* StaticFilesEnd();

std::string StripBannerPage(const LocalTime& now);    // "/day/shenzhen1.htm", 809 x 33
std::string WelcomeBannerPage(const LocalTime& now);  // "/day/shenzhen.htm", 673 x 125
std::string DownloadPage();
std::string IndexPage(const PlaceTable& places);
std::string NotFoundPage(std::string_view path);

}  // namespace weatherd
