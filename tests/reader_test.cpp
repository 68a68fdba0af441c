#include "harness.h"
#include "stock/Stock.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string loaded() {
    std::ostringstream records;
    for (int i = 0; i < stock.count; ++i) {
        const Product& item = stock.items[i];
        records << item.id << ',' << item.name << ',' << item.price << ',' << item.quantity << ';';
    }
    return records.str();
}

TEST(Reader, LoadsHandEditedLines) {
    const struct {
        std::string file, records;
    } cases[] = {
        {"3|nails|2|100|\r\n4|screws|1|-5|junk\r\n", "3,nails,2,100;4,screws,1,-5;"},
        {"7|hammer|12|3", "7,hammer,12,3;"},
        {"7|hammer\n\n  \n7|\r\n7|ham\r", "7,hammer,0,0;7,,0,0;7,ham,0,0;"},
        {"5|x|1|-|\n5|x|1|-\n5|x|1|5-|", "5,x,1,0;5,x,1,0;5,x,1,5;"},
        {"1a|x|2|5-3|\n\xff|x|+1|1|", "59,x,2,2;-49,x,-49,1;"},
        {"-5|x|-3|2|\n-|x|-|-0|\n", "-5,x,-3,2;0,x,0,0;"},
        {"99999999999|x|4294967296|-2147483648|\n4294967295|x|2147483648|-2147483649|\n",
         "1215752191,x,0,-2147483648;-1,x,-2147483648,2147483647;"},
        {"|no id|1|1|\n8||1|1|\n9|a b|1|1|\n", "0,no id,1,1;8,,1,1;9,a b,1,1;"},
        {"\r\n\n", ""},
    };
    Dialogue scratch; // for its fresh directory only
    const fs::path home = fs::current_path();
    fs::current_path(scratch.dir);
    for (const auto& c : cases) {
        std::ofstream("stock.txt", std::ios::binary) << c.file;
        stock.read();
        EXPECT_EQ(loaded(), c.records) << c.file;
    }
    fs::current_path(home);
}

} // namespace
