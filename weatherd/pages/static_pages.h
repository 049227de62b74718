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
const StaticFile* find_static_file(std::string_view path);
const StaticFile* static_files_begin();
const StaticFile* static_files_end();

std::string strip_banner_page(const LocalTime& now);    // "/day/shenzhen1.htm", 809 x 33
std::string welcome_banner_page(const LocalTime& now);  // "/day/shenzhen.htm", 673 x 125
std::string download_page();
std::string index_page(const PlaceTable& places);
std::string not_found_page(std::string_view path);

}  // namespace weatherd
