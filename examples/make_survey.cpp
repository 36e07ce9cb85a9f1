// Writes the bundled example survey: a comma-delimited household survey of
// 2 000 records with realistic gaps and a handful of planted gross errors.
//
// The output must be byte-identical on every run and every machine, so the
// generator has its own seeded PRNG and uses integer arithmetic and the four
// basic floating-point operations only (no library maths whose last bit
// could differ between platforms).
//
// Usage: make_survey OUTPUT.csv
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int record_count = 2000;
constexpr std::uint64_t seed = 20240611;

// splitmix64: tiny, fast and fully specified, which is all we need here.
class Generator {
public:
    explicit Generator(std::uint64_t s) : state_(s) {}

    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

    // Whole number in [low, high].
    int between(int low, int high)
    {
        const auto span = static_cast<std::uint64_t>(high - low + 1);
        return low + static_cast<int>(next() % span);
    }

    // Approximately standard normal: the sum of twelve uniforms minus six
    // avoids logarithms and is smooth enough for survey noise.
    double normal()
    {
        double sum = 0.0;
        for (int i = 0; i < 12; ++i) sum += uniform();
        return sum - 6.0;
    }

    bool chance(double p) { return uniform() < p; }

private:
    std::uint64_t state_;
};

// Picks a category 1..n with the given relative weights.
int pick_weighted(Generator& g, const std::vector<double>& weights)
{
    double total = 0.0;
    for (double w : weights) total += w;
    double u = g.uniform() * total;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (u < weights[i]) return static_cast<int>(i) + 1;
        u -= weights[i];
    }
    return static_cast<int>(weights.size());
}

double clamp(double v, double low, double high) { return v < low ? low : (v > high ? high : v); }

// Rounds half away from zero without <cmath>.
long long round_to_whole(double v) { return v < 0 ? -static_cast<long long>(-v + 0.5) : static_cast<long long>(v + 0.5); }

struct Record {
    int region;
    int hhtype;
    int age;
    long long income;        // whole currency units
    long long expend_cents;  // two decimals, kept as cents so printing is exact
    int hours;
    // Which fields are left empty in the file.
    bool missing[6];
};

enum Field { f_region, f_hhtype, f_age, f_income, f_expend, f_hours };

// Earnings rise into the fifties and drop at pension age.
double age_profile(int age)
{
    if (age < 25) return 0.55 + 0.03 * (age - 18);
    if (age < 52) return 0.76 + 0.012 * (age - 25);
    if (age < 67) return 1.08 - 0.008 * (age - 52);
    return 0.62;
}

Record make_record(Generator& g)
{
    static const std::vector<double> region_weights = {0.30, 0.22, 0.20, 0.16, 0.12};
    static const double region_level[] = {1.25, 1.05, 0.95, 0.85, 0.78};
    static const std::vector<double> hhtype_weights = {0.33, 0.30, 0.27, 0.10};
    // Share of income spent: singles and single parents spend more of it.
    static const double spend_share[] = {0.82, 0.70, 0.88, 0.93};

    Record r{};
    r.region = pick_weighted(g, region_weights);
    r.hhtype = pick_weighted(g, hhtype_weights);
    r.age = static_cast<int>(clamp(46.0 + 16.0 * g.normal(), 18.0, 90.0));

    const double noise = clamp(1.0 + 0.30 * g.normal(), 0.35, 2.6);
    const double income = 34000.0 * age_profile(r.age) * region_level[r.region - 1] * noise;
    r.income = round_to_whole(clamp(income, 8000.0, 150000.0));

    const double share = clamp(spend_share[r.hhtype - 1] + 0.08 * g.normal(), 0.35, 1.30);
    r.expend_cents = round_to_whole(static_cast<double>(r.income) * share * 100.0);

    if (r.age > 67)
        r.hours = g.chance(0.9) ? 0 : g.between(4, 20);
    else if (g.chance(0.14))
        r.hours = 0;  // not in work
    else
        r.hours = static_cast<int>(clamp(37.0 + 7.0 * g.normal(), 4.0, 60.0));

    // Item non-response: income is the most often refused question.
    static const double missing_rate[] = {0.010, 0.015, 0.012, 0.080, 0.040, 0.030};
    for (int f = 0; f < 6; ++f) r.missing[f] = g.chance(missing_rate[f]);
    return r;
}

struct PlantedError {
    int record;  // counted from 1, as in the README
    const char* what;
};

// Picks a record whose field is present and not already planted, so every
// planted error is visible in the file.
int pick_clean_record(Generator& g, std::vector<Record>& records, std::vector<bool>& planted, Field f)
{
    for (;;) {
        const int i = g.between(0, record_count - 1);
        if (!planted[i] && !records[i].missing[f] && !records[i].missing[f_income]) {
            planted[i] = true;
            return i;
        }
    }
}

std::vector<PlantedError> plant_errors(Generator& g, std::vector<Record>& records)
{
    std::vector<PlantedError> log;
    std::vector<bool> planted(records.size(), false);
    for (int k = 0; k < 3; ++k) {
        const int i = pick_clean_record(g, records, planted, f_age);
        records[i].age = 999;
        log.push_back({i + 1, "age 999"});
    }
    for (int k = 0; k < 3; ++k) {
        const int i = pick_clean_record(g, records, planted, f_income);
        // A sign and unit slip: 24 183 entered as -241.  It stays above the
        // missing code -999 that the imputation methods use.
        records[i].income = -(records[i].income / 100);
        log.push_back({i + 1, "negative income"});
    }
    for (int k = 0; k < 3; ++k) {
        const int i = pick_clean_record(g, records, planted, f_expend);
        records[i].expend_cents = records[i].income * 1000;  // ten times income, in cents
        log.push_back({i + 1, "expenditure ten times income"});
    }
    for (int k = 0; k < 2; ++k) {
        const int i = pick_clean_record(g, records, planted, f_hours);
        records[i].hours = 168;
        log.push_back({i + 1, "hours 168"});
    }
    return log;
}

void write_record(std::FILE* out, const Record& r)
{
    auto field = [&](Field f, const char* format, auto value, bool last) {
        if (!r.missing[f]) std::fprintf(out, format, value);
        std::fputc(last ? '\n' : ',', out);
    };
    field(f_region, "%d", r.region, false);
    field(f_hhtype, "%d", r.hhtype, false);
    field(f_age, "%d", r.age, false);
    field(f_income, "%lld", r.income, false);
    if (!r.missing[f_expend]) {
        const long long cents = r.expend_cents < 0 ? -r.expend_cents : r.expend_cents;
        std::fprintf(out, "%s%lld.%02lld", r.expend_cents < 0 ? "-" : "", cents / 100, cents % 100);
    }
    std::fputc(',', out);
    field(f_hours, "%d", r.hours, true);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_survey OUTPUT.csv\n");
        return 2;
    }
    Generator g(seed);
    std::vector<Record> records;
    records.reserve(record_count);
    for (int i = 0; i < record_count; ++i) records.push_back(make_record(g));
    const std::vector<PlantedError> planted = plant_errors(g, records);

    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fputs("region,hhtype,age,income,expend,hours\n", out);
    for (const Record& r : records) write_record(out, r);
    // A full disk must not pass for a finished survey file.
    if (std::fflush(out) != 0 || std::ferror(out) != 0 || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    for (const PlantedError& e : planted)
        std::printf("record %4d (line %4d): %s\n", e.record, e.record + 1, e.what);
    return 0;
}
