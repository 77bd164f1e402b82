#include "records/records.h"

namespace norvix {
namespace {

// Record members of the bar's prices and volumes, in keyword order.
constexpr Field kBarNumbers[] = {
    {Name::open_price, Kind::required},    {Name::high_price, Kind::required},
    {Name::low_price, Kind::required},     {Name::close_price, Kind::required},
    {Name::volume, Kind::optional},        {Name::turnover, Kind::optional},
    {Name::open_interest, Kind::optional},
};

// Record members of the tick's name and numbers, in keyword order.  The
// day's open, high and low arrive as `open`, `high` and `low`.
constexpr Field kTickFields[] = {
    {Name::name, Kind::text},
    {Name::volume, Kind::optional},
    {Name::turnover, Kind::optional},
    {Name::open_interest, Kind::optional},
    {Name::last_price, Kind::optional},
    {Name::last_volume, Kind::optional},
    {Name::limit_up, Kind::optional},
    {Name::limit_down, Kind::optional},
    {Name::open, Kind::optional},
    {Name::high, Kind::optional},
    {Name::low, Kind::optional},
    {Name::pre_close, Kind::optional},
    {Name::bid_price_1, Kind::optional},
    {Name::bid_price_2, Kind::optional},
    {Name::bid_price_3, Kind::optional},
    {Name::bid_price_4, Kind::optional},
    {Name::bid_price_5, Kind::optional},
    {Name::ask_price_1, Kind::optional},
    {Name::ask_price_2, Kind::optional},
    {Name::ask_price_3, Kind::optional},
    {Name::ask_price_4, Kind::optional},
    {Name::ask_price_5, Kind::optional},
    {Name::bid_volume_1, Kind::optional},
    {Name::bid_volume_2, Kind::optional},
    {Name::bid_volume_3, Kind::optional},
    {Name::bid_volume_4, Kind::optional},
    {Name::bid_volume_5, Kind::optional},
    {Name::ask_volume_1, Kind::optional},
    {Name::ask_volume_2, Kind::optional},
    {Name::ask_volume_3, Kind::optional},
    {Name::ask_volume_4, Kind::optional},
    {Name::ask_volume_5, Kind::optional},
};

constexpr int kBarCount = sizeof(kBarNumbers) / sizeof(kBarNumbers[0]);
constexpr int kTickCount = sizeof(kTickFields) / sizeof(kTickFields[0]);
static_assert(kTickCount == 32);

}  // namespace

const RecordShape kDayBars = {
    {Name::trading_date, false, kBarNumbers, kBarCount}, Name::BarData, Kw::bar, Name::DAILY};
const RecordShape kMinuteBars = {
    {Name::trading_datetime, true, kBarNumbers, kBarCount}, Name::BarData, Kw::bar, Name::MINUTE};
const RecordShape kTicks = {{Name::trading_datetime, true, kTickFields, kTickCount},
                            Name::TickData,
                            Kw::tick,
                            Name::count_};

int BarHead::operator()(PyObject** args, Ref* hold) noexcept {
    Ref intervals = load_global(ctx_, Name::Interval);
    if (!intervals) return -1;
    hold[2] = attr_.get(intervals.get(), (*ctx_)[interval_]);
    if (!hold[2]) return -1;
    args[0] = symbol_;
    args[1] = exchange_;
    args[2] = hold[2].get();
    return 3;
}

}  // namespace norvix
