#include "StandIns.h"

#include "persistence/PropertyNames.h"
#include "persistence/StoragePropertyInterceptor.h"
#include "runtime/Exception.h"

#include <gtest/gtest.h>

namespace {

QString CheckError(TPropertyNamesEh& names, const QString& path) {
    try {
        names.Add(path);
    } catch (const Exception& e) {
        return e.Message();
    }
    return QString();
}

} // namespace

TEST(PropertyPaths, OrderingTable) {
    struct TRow {
        const char* a;
        const char* b;
        int sign;
    };
    const TRow rows[] = {
        {"<P>.Left", "ComPort1.<P>.BaudRate", -1},
        {"ComPort1.<P>.Port", "ComPort1.Sub.<P>.X", -1},
        {"A.B.<P>.X", "A.<Z>.<P>.X", -1},
        {"ComPort1.<P>.BaudRate", "ComPort1.<P>.Port", -1},
        {"comport1.<p>.port", "ComPort1.<P>.Port", 0},
        {"ComPort1.<P>.Items.<Item0>", "ComPort1.<P>.Items.Count", 1},
        {"", "", 0},
        {"A", "A.B", -1},
    };
    for (const TRow& r : rows) {
        const int ab = ComparePropertyPaths(r.a, r.b);
        const int ba = ComparePropertyPaths(r.b, r.a);
        EXPECT_EQ((ab > 0) - (ab < 0), r.sign) << r.a << " vs " << r.b;
        EXPECT_EQ((ba > 0) - (ba < 0), -r.sign) << r.b << " vs " << r.a;
    }
}

TEST(PropertyPaths, AddKeepsOrderAndRefusesDuplicatesAndBadPaths) {
    TMainFormF form;
    auto* sub = new TAllKinds(form.ComPort1);
    sub->setObjectName("Sub");
    TPropertyNamesEh names;
    names.SetRoot(&form);
    EXPECT_EQ(names.Add("ComPort1.<P>.Port"), 0);
    EXPECT_EQ(names.Add("ComPort1.<P>.BaudRate"), 0);
    EXPECT_EQ(names.Lines(), (QStringList{"ComPort1.<P>.BaudRate", "ComPort1.<P>.Port"}));
    EXPECT_EQ(names.Add("ComPort1.<P>.Port"), -1);
    EXPECT_EQ(names.Add("COMPORT1.<P>.baudrate"), -1);
    EXPECT_EQ(names.Count(), 2);

    // Refused without a failure: a missing component, a missing property, a property of an object
    // held by a property that is missing, a path that goes on after a plain value's property.
    for (const char* path : {"NoSuchComponent.<P>.Port", "ComPort1.<P>.NoSuchProperty",
                             "ComPort1.<P>.Parity.Nothing", "ComPort1.Sub.<P>.Extra.More"})
        EXPECT_EQ(names.Add(path), -1) << path;
    // Accepted: sub-object properties, whole sub-objects, defined properties, collection selectors
    // (also in lower case, which only the saving takes literally), the window interceptor's Left.
    for (const char* path :
         {"ComPort1.<P>.Parity.Bits", "ComPort1.<P>.Parity", "ComPort1.Sub.<P>.Extra",
          "ComPort1.Sub.<P>.Items.<ForAllItems>.Caption", "ComPort1.Sub.<P>.Items.<item0>", "<P>.Left"})
        EXPECT_GE(names.Add(path), 0) << path;
    EXPECT_EQ(names[0], "<P>.Left");
    // Malformed paths fail with the path's rest.
    EXPECT_EQ(CheckError(names, "ComPort1.Port"), "Invalide property path: \"\"");
    EXPECT_EQ(CheckError(names, "ComPort1..Port"), "Invalide property path: \".Port\"");
    EXPECT_EQ(CheckError(names, "ComPort1.Sub.<P>.Items.<Itemx>.Caption"),
              "'x' is not a valid integer value");

    // While the root loads its layout, paths are taken unchecked; setting the root checks them all.
    TMainFormF loading;
    loading.BeginLoading();
    TPropertyNamesEh unchecked;
    unchecked.SetRoot(&loading);
    EXPECT_EQ(unchecked.Add("NoSuchComponent.<P>.Port"), 0);
    EXPECT_EQ(unchecked.Add("ComPort1.<P>.Port"), 0); // sorts before NoSuchComponent
    loading.Loaded();
    unchecked.SetRoot(&loading);
    EXPECT_EQ(unchecked.Lines(), QStringList{"ComPort1.<P>.Port"});
}

TEST(PropertyPaths, HelpersOnTheRuntimeDescription) {
    TMainFormF form;
    EXPECT_EQ(FindChildComponent(&form, &form, "comport1"), form.ComPort1);
    EXPECT_EQ(FindChildComponent(&form, &form, "ComPort2"), nullptr);
    EXPECT_EQ(FindChildComponent(form.ComPort1, &form, "Parity"), nullptr);

    TAllKinds all;
    all.Link = form.ComPort1; // a reference to a component contributes nothing
    const QStringList names = GetAllPropertyNames(&all);
    EXPECT_EQ(names, (QStringList{"Any", "Big", "Events", "Flag", "Items", "Letter", "Narrow", "Number",
                                  "Parity.Bits", "Parity.Check", "Ratio", "ReadOnly", "Root", "Stop", "Wide",
                                  "Extra", "Blob"}));
    EXPECT_EQ(GetDefinedPropertyNames(&all), (QStringList{"Extra", "Blob"}));
    EXPECT_EQ(GetAllPropertyNames(form.ComPort1),
              (QStringList{"BaudRate", "Events", "Parity.Bits", "Parity.Check", "Port"}));

    EXPECT_EQ(FindStoragePropertyInterceptor(&TMainFormF::staticMetaObject),
              &TFormStoragePropertyInterceptor::staticMetaObject);
    EXPECT_EQ(FindStoragePropertyInterceptor(&TComPort::staticMetaObject), nullptr);
    RegisterStoragePropertyInterceptor(&TOtherForm::staticMetaObject,
                                       &TStoragePropertyInterceptor::staticMetaObject);
    EXPECT_EQ(FindStoragePropertyInterceptor(&TOtherForm::staticMetaObject),
              &TStoragePropertyInterceptor::staticMetaObject);
    EXPECT_EQ(FindStoragePropertyInterceptor(&TMainFormF::staticMetaObject),
              &TFormStoragePropertyInterceptor::staticMetaObject);
}
