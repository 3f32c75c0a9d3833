#pragma once

#include <QTest>

#include <tuple>

// A data table's columns and the current row's values, named once each:
// columns<int, QString>("count", "name"), then
// const auto [count, name] = fetch<int, QString>("count", "name").
namespace testtable {

template <class... Types, class... Names>
void columns(Names... names)
{
    static_assert(sizeof...(Types) == sizeof...(Names), "one name a column");
    (QTest::addColumn<Types>(names), ...);
}

template <class... Types, class... Names>
std::tuple<Types...> fetch(Names... names)
{
    static_assert(sizeof...(Types) == sizeof...(Names), "one name a column");
    return {*static_cast<Types*>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

} // namespace testtable
