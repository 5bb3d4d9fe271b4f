// Odd data in the shared key, from tests/data/registry_matrix.tsv (the rows and their meaning are
// described there): each row through a "/CHK" run and an "/INV" run on a fresh machine.
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "Machine.h"
#include "entry/Entry.h"

namespace {

struct MatrixRow {
    std::string name, value, type, data, clock;
    bool chkPage, chkStamp, invPage, invStamp;
};

void PrintTo(const MatrixRow& row, std::ostream* out)
{
    *out << row.name << " (" << row.value << " " << row.type << " " << row.data << ")";
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    return fields;
}

std::vector<MatrixRow> LoadMatrix()
{
    std::vector<MatrixRow> rows;
    std::ifstream in(REGISTRY_MATRIX);
    std::map<std::string, size_t> column;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields = SplitTabs(line);
        if (column.empty()) {
            for (size_t i = 0; i < fields.size(); ++i)
                column[fields[i]] = i;
            continue;
        }
        auto field = [&](const char* name) {
            auto found = column.find(name);
            return found != column.end() && found->second < fields.size() ? fields[found->second]
                                                                          : std::string();
        };
        rows.push_back(MatrixRow{field("case"), field("value"), field("type"), field("data"),
                                 field("clock"), field("chk_page") == "1",
                                 field("chk_stamp") == "1", field("inv_page") == "1",
                                 field("inv_stamp") == "1"});
    }
    return rows;
}

const std::vector<MatrixRow>& Matrix()
{
    static const std::vector<MatrixRow> rows = LoadMatrix();
    return rows;
}

const std::map<std::string, DWORD> kTypes = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

int64_t Clock(const MatrixRow& row)
{
    return row.clock == "any" ? kNow : std::stoll(row.clock);
}

std::string LittleEndian(uint64_t number, size_t width)
{
    std::string bytes;
    for (size_t i = 0; i < width; ++i)
        bytes += static_cast<char>(i < 8 ? (number >> (8 * i)) & 0xFF : 0);
    return bytes;
}

// "-", hex bytes, or "clock+N:W" / "clock-N:W".
std::string Bytes(const std::string& data, int64_t clock)
{
    if (data == "-")
        return std::string();
    if (data.compare(0, 5, "clock") == 0) {
        size_t colon = data.find(':');
        int64_t offset = std::stoll(data.substr(5, colon - 5));
        return LittleEndian(static_cast<uint64_t>(clock + offset),
                            std::stoul(data.substr(colon + 1)));
    }
    std::string bytes;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        bytes += static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16));
    return bytes;
}

class RegistryMatrixTest : public Machine, public ::testing::WithParamInterface<MatrixRow> {
protected:
    struct Stored {
        DWORD type;
        std::string data;
    };

    // A fresh machine in the row's starting state; returns what each value holds.
    std::map<std::string, Stored> Prepare(const MatrixRow& row)
    {
        platform::ResetState();
        int64_t clock = Clock(row);
        platform::SetClock(clock);
        platform::SetModulePath(
            "C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe");
        std::map<std::string, Stored> stored;
        stored[row.value] = Stored{kTypes.at(row.type), Bytes(row.data, clock)};
        if (row.value == "Installed")
            stored["LastCheckDate"] =
                Stored{REG_DWORD, LittleEndian(static_cast<uint64_t>(clock - 691200), 4)};
        for (const auto& value : stored)
            platform::SetValue(kKeyPath, value.first, value.second.type, value.second.data);
        return stored;
    }

    void RunAndCheck(const MatrixRow& row, const char* command, bool page, bool stamp)
    {
        SCOPED_TRACE(command);
        std::map<std::string, Stored> before = Prepare(row);
        char tail[8];
        snprintf(tail, sizeof tail, "%s", command);
        EXPECT_EQ(WinMain(kInstance, NULL, tail, SW_SHOWDEFAULT), 0);

        EXPECT_EQ(platform::ShellCalls().size(), page ? 1u : 0u) << "offers page";
        DWORD type = 0;
        std::string data;
        bool present = platform::GetValue(kKeyPath, "LastCheckDate", &type, &data);
        if (stamp) {
            EXPECT_TRUE(present && type == REG_DWORD &&
                        data == LittleEndian(static_cast<uint64_t>(Clock(row)), 4))
                << "LastCheckDate should be the clock as a 4-byte REG_DWORD";
        } else if (before.count("LastCheckDate") != 0) {
            EXPECT_TRUE(present && type == before["LastCheckDate"].type &&
                        data == before["LastCheckDate"].data)
                << "LastCheckDate should be as it was";
        }
        if (before.count("Installed") != 0) {
            EXPECT_TRUE(platform::GetValue(kKeyPath, "Installed", &type, &data) &&
                        type == before["Installed"].type && data == before["Installed"].data)
                << "Installed is never ours to change";
        }
        EXPECT_EQ(platform::OpenKeyHandleCount(), 0);
    }
};

TEST_P(RegistryMatrixTest, WeeklyCheckAndOffersReadTheDataAsTheRowSays)
{
    const MatrixRow& row = GetParam();
    ASSERT_EQ(kTypes.count(row.type), 1u) << "unknown type " << row.type;
    RunAndCheck(row, "/CHK", row.chkPage, row.chkStamp);
    RunAndCheck(row, "/INV", row.invPage, row.invStamp);
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistryMatrixTest, ::testing::ValuesIn(Matrix()),
                         [](const ::testing::TestParamInfo<MatrixRow>& info) {
                             return info.param.name;
                         });

// A matrix that failed to load would pass by having no rows.
TEST(RegistryMatrixFileTest, CoversEveryTypeAndEveryLengthUpToEightBytes)
{
    std::map<std::string, std::set<size_t>> binaryLengths;
    std::map<std::string, std::set<std::string>> types;
    for (const MatrixRow& row : Matrix()) {
        types[row.value].insert(row.type);
        if (row.type == "REG_BINARY")
            binaryLengths[row.value].insert(Bytes(row.data, Clock(row)).size());
    }
    for (const char* value : {"LastCheckDate", "Installed"}) {
        EXPECT_EQ(types[value], (std::set<std::string>{"REG_NONE", "REG_SZ", "REG_BINARY",
                                                       "REG_DWORD", "REG_MULTI_SZ", "REG_QWORD"}))
            << value;
        EXPECT_EQ(binaryLengths[value], (std::set<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8})) << value;
    }
}

}  // namespace
