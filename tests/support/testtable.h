#pragma once

#include <QTest>

#include <tuple>

// A data table's columns and rows, and the current row's values, each
// column named once a side:
//   const auto row = table<int, QString>("count", "name");
//   row("one", 1, "a");
// and in the test, const auto [count, name] = fetch<int, QString>("count", "name").
namespace testtable {

template <class... Types, class... Names>
auto table(Names... names)
{
    (QTest::addColumn<Types>(names), ...);
    return [](const char* tag, const Types&... values) { (QTest::newRow(tag) << ... << values); };
}

template <class... Types, class... Names>
std::tuple<Types...> fetch(Names... names)
{
    return {*static_cast<Types*>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

} // namespace testtable
