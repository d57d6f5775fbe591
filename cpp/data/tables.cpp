#include "tables.hpp"

#include "entry.hpp"

namespace zqkit::data {

nb::dict create_bar_fields() {
    nb::dict fields;
    fields["o"] = "open";
    fields["h"] = "high";
    fields["l"] = "low";
    fields["c"] = "close";
    fields["v"] = "volume";
    fields["m"] = "turnover";
    fields["oi"] = "open_interest";
    return fields;
}

nb::dict create_quote_fields(nb::dict bar_fields) {
    nb::dict fields = nb::steal<nb::dict>(checked(PyDict_Copy(bar_fields.ptr())).release());
    fields["h"] = "highest";
    fields["l"] = "lowest";
    fields["c"] = "last_price";
    fields["ps"] = "pre_settlement";
    fields["pc"] = "pre_close";
    fields["up"] = "upper_limit";
    fields["dn"] = "lower_limit";
    return fields;
}

nb::list create_bar_columns(nb::dict bar_fields) {
    nb::list columns;
    columns.append("timestamp");
    columns.append("trading_day");
    for (nb::handle name : bar_fields.values()) columns.append(name);
    return columns;
}

nb::object create_kline_periods() {
    nb::list periods;
    for (const char* period : {"1m", "5m", "10m", "15m", "30m", "1h", "4h", "1d"}) {
        periods.append(period);
    }
    return checked(PyFrozenSet_New(periods.ptr()));
}

}  // namespace zqkit::data
