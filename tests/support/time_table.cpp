#include "support/time_table.h"

#include "builder/datastore_builder.h"

#include <cstdio>

namespace dstest {

std::string time_case_name(size_t i) {
    char name[8];
    std::snprintf(name, sizeof name, "t%02zu", i);
    return name;
}

void build_time_table(const std::string& image) {
    dsb::DatastoreOptions o;
    o.path = image;
    dsb::ImageBuilder ds(o);
    const std::vector<TimeCase>& cases = time_cases();
    for (size_t i = 0; i < cases.size(); ++i) {
        dsb::FileSpec f = dsb::text_file("time case " + std::to_string(i) + "\n");
        f.create_time = static_cast<uint32_t>(cases[i].t);
        f.update_time = static_cast<uint32_t>(cases[i].t);
        f.atime = static_cast<uint32_t>(cases[i].t);
        ds.add_file("/times/" + time_case_name(i), f);
        ds.add_file("/gone/" + time_case_name(i), f);
    }
    ds.remove("/gone");
    ds.finish();
}

} // namespace dstest
