#include "device/sim/simulationscenario.h"

#include "device/sim/ft232reeprom.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cmath>
#include <functional>
#include <initializer_list>

namespace {

class ScenarioParser {
public:
    QString error;

    bool parse(const QJsonObject &root, SimScenario *scenario);

private:
    bool fail(const QString &where, const QString &what)
    {
        error = where + QStringLiteral(": ") + what;
        return false;
    }
    bool checkKeys(const QJsonObject &object, const QString &where,
                   std::initializer_list<const char *> allowed, const QStringList &more = {});
    bool readObject(const QJsonValue &value, const QString &where, QJsonObject *out);
    bool readBool(const QJsonObject &object, const char *key, const QString &where, bool *out);
    bool readNumber(const QJsonObject &object, const char *key, const QString &where,
                    double minimum, double maximum, double *out);
    template<typename Int>
    bool readInt(const QJsonObject &object, const char *key, const QString &where, double minimum,
                 double maximum, Int *out)
    {
        double value;
        if (!readNumber(object, key, where, minimum, maximum, &value))
            return false;
        if (object.contains(QLatin1String(key)))
            *out = Int(value);
        return true;
    }
    bool readText(const QJsonObject &object, const char *key, const QString &where, int maxBytes,
                  QByteArray *out);
    bool readDevice(const QJsonValue &value, const QString &where, SimDeviceSpec *device);
    bool readEeprom(const QJsonObject &object, const QString &where, SimEeprom *eeprom);
    bool readFault(const QJsonValue &value, const QString &where, SimFault *fault);
    bool readLink(const QJsonValue &value, const QString &where,
                  QPair<QByteArray, QByteArray> *link, const char *what = "link");
    bool checkReferences(const SimScenario &scenario);
};

QString entry(const char *list, int index)
{
    return QStringLiteral("%1[%2]").arg(QLatin1String(list)).arg(index);
}

bool ScenarioParser::checkKeys(const QJsonObject &object, const QString &where,
                               std::initializer_list<const char *> allowed, const QStringList &more)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool known = more.contains(it.key())
            || std::any_of(allowed.begin(), allowed.end(),
                           [&](const char *key) { return it.key() == QLatin1String(key); });
        if (!known)
            return fail(where, QStringLiteral("unknown key \"%1\"").arg(it.key()));
    }
    return true;
}

bool ScenarioParser::readObject(const QJsonValue &value, const QString &where, QJsonObject *out)
{
    if (!value.isObject())
        return fail(where, QStringLiteral("must be an object"));
    *out = value.toObject();
    return true;
}

bool ScenarioParser::readBool(const QJsonObject &object, const char *key, const QString &where,
                              bool *out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isBool())
        return fail(where, QStringLiteral("\"%1\" must be true or false").arg(QLatin1String(key)));
    *out = value.toBool();
    return true;
}

bool ScenarioParser::readNumber(const QJsonObject &object, const char *key, const QString &where,
                                double minimum, double maximum, double *out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || number != std::floor(number) || number < minimum || number > maximum)
        return fail(where,
                    QStringLiteral("\"%1\" must be a whole number from %2 to %3")
                        .arg(QLatin1String(key))
                        .arg(qint64(minimum))
                        .arg(qint64(maximum)));
    *out = number;
    return true;
}

bool ScenarioParser::readText(const QJsonObject &object, const char *key, const QString &where,
                              int maxBytes, QByteArray *out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isString())
        return fail(where, QStringLiteral("\"%1\" must be a string").arg(QLatin1String(key)));
    const QString text = value.toString();
    const bool latin1 = std::all_of(text.begin(), text.end(),
                                    [](QChar c) { return c.unicode() > 0 && c.unicode() <= 0xFF; });
    if (!latin1)
        return fail(where,
                    QStringLiteral("\"%1\" must hold Latin-1 characters and no NUL")
                        .arg(QLatin1String(key)));
    if (text.size() > maxBytes)
        return fail(
            where,
            QStringLiteral("\"%1\" is longer than %2 bytes").arg(QLatin1String(key)).arg(maxBytes));
    *out = text.toLatin1();
    return true;
}

bool ScenarioParser::readEeprom(const QJsonObject &object, const QString &where, SimEeprom *eeprom)
{
    QStringList numericKeys;
    for (const EepromNumericField &field : eepromNumericFields())
        numericKeys << QLatin1String(field.name);
    if (!checkKeys(object, where,
                   { "image", "manufacturer", "manufacturerId", "description", "serialNumber" },
                   numericKeys))
        return false;

    const QJsonValue image = object.value(QLatin1String("image"));
    if (!image.isUndefined()) {
        const QByteArray hex = image.toString().toLatin1();
        QString imageError;
        if (!image.isString() || hex.size() != 2 * Ft232rEepromSize
            || !decodeFt232rEeprom(QByteArray::fromHex(hex), eeprom, &imageError))
            return fail(where,
                        QStringLiteral("\"image\" is not an FT232R EEPROM image in hex. ")
                            + imageError);
    }
    if (!readText(object, "manufacturer", where, EepromManufacturerSize - 1, &eeprom->manufacturer)
        || !readText(object, "manufacturerId", where, EepromManufacturerIdSize - 1,
                     &eeprom->manufacturerId)
        || !readText(object, "description", where, EepromDescriptionSize - 1, &eeprom->description)
        || !readText(object, "serialNumber", where, EepromSerialNumberSize - 1,
                     &eeprom->serialNumber))
        return false;
    for (const EepromNumericField &field : eepromNumericFields()) {
        double value;
        if (!readNumber(object, field.name, where, 0, field.maximum(), &value))
            return false;
        if (object.contains(QLatin1String(field.name)))
            field.set(eeprom->settings, quint32(value));
    }
    return true;
}

bool ScenarioParser::readDevice(const QJsonValue &value, const QString &where,
                                SimDeviceSpec *device)
{
    QJsonObject object;
    if (!readObject(value, where, &object)
        || !checkKeys(object, where,
                      { "serial", "description", "type", "id", "baudRate", "dataBits", "stopBits",
                        "parity", "eeprom", "location" }))
        return false;
    if (!object.value(QLatin1String("serial")).isString())
        return fail(where, QStringLiteral("\"serial\" is required and must be a string"));
    QByteArray serial;
    if (!readText(object, "serial", where, 15, &serial))
        return false;
    if (serial.isEmpty())
        return fail(where, QStringLiteral("\"serial\" must not be empty"));
    *device = SimDeviceSpec::withSerial(serial);
    if (!readText(object, "description", where, 63, &device->description))
        return false;
    device->eeprom.description = device->description;
    if (!readInt(object, "type", where, 0, 0xFFFFFFFF, &device->type)
        || !readInt(object, "id", where, 0, 0xFFFFFFFF, &device->id)
        || !readInt(object, "baudRate", where, 183, 3000000, &device->line.baudRate)
        || !readInt(object, "dataBits", where, 7, 8, &device->line.dataBits)
        || !readInt(object, "stopBits", where, 0, 2, &device->line.stopBits)
        || !readInt(object, "parity", where, 0, 4, &device->line.parity)
        || !readInt(object, "location", where, 1, 0xFFFFFFFF, &device->location))
        return false;
    const QJsonValue eeprom = object.value(QLatin1String("eeprom"));
    if (eeprom.isUndefined())
        return true;
    QJsonObject eepromObject;
    return readObject(eeprom, where + QStringLiteral(".eeprom"), &eepromObject)
        && readEeprom(eepromObject, where + QStringLiteral(".eeprom"), &device->eeprom);
}

bool ScenarioParser::readFault(const QJsonValue &value, const QString &where, SimFault *fault)
{
    QJsonObject object;
    if (!readObject(value, where, &object)
        || !checkKeys(object, where,
                      { "serial", "operation", "call", "status", "transferred", "corruptOffset",
                        "delayMs", "unplug", "plug", "countUnwritten", "movesStrings" }))
        return false;
    const QJsonValue operation = object.value(QLatin1String("operation"));
    const auto parsed = simOperationFromName(operation.toString());
    if (!operation.isString() || !parsed)
        return fail(where, QStringLiteral("\"operation\" must name one of the eleven operations"));
    fault->operation = *parsed;
    if (!readText(object, "serial", where, 15, &fault->serial)
        || !readInt(object, "call", where, 1, 1e9, &fault->call)
        || !readInt(object, "status", where, 1, 0xFFFFFFFF, &fault->status)
        || !readInt(object, "transferred", where, 0, 1e9, &fault->transferred)
        || !readInt(object, "corruptOffset", where, 0, 1e9, &fault->corruptOffset)
        || !readInt(object, "delayMs", where, 0, 600000, &fault->delayMs)
        || !readText(object, "unplug", where, 15, &fault->unplug)
        || !readBool(object, "countUnwritten", where, &fault->countUnwritten)
        || !readBool(object, "movesStrings", where, &fault->movesStrings))
        return false;
    const QJsonValue plug = object.value(QLatin1String("plug"));
    if (!plug.isUndefined()) {
        SimDeviceSpec device;
        if (!readDevice(plug, where + QStringLiteral(".plug"), &device))
            return false;
        fault->plug = device;
    }

    const bool listOperation = isListOperation(fault->operation);
    if (listOperation != fault->serial.isEmpty())
        return fail(where,
                    listOperation ? QStringLiteral("\"serial\" does not apply to a list operation")
                                  : QStringLiteral("\"serial\" is required for this operation"));
    const bool transfer
        = fault->operation == SimOperation::Write || fault->operation == SimOperation::Read;
    if (fault->transferred >= 0 && !transfer)
        return fail(where, QStringLiteral("\"transferred\" applies to write and read only"));
    if (fault->corruptOffset >= 0 && fault->operation != SimOperation::Read)
        return fail(where, QStringLiteral("\"corruptOffset\" applies to read only"));
    if (fault->movesStrings && fault->operation != SimOperation::EepromRead)
        return fail(where, QStringLiteral("\"movesStrings\" applies to eepromRead only"));
    if (fault->countUnwritten && fault->operation != SimOperation::CreateDeviceInfoList
        && !transfer)
        return fail(where,
                    QStringLiteral("\"countUnwritten\" applies to createDeviceInfoList, "
                                   "write and read only"));
    return true;
}

// A link (two devices cross-wired) or a wire (a transmitter to a receiver,
// maybe the device's own): a pair of serial numbers.
bool ScenarioParser::readLink(const QJsonValue &value, const QString &where,
                              QPair<QByteArray, QByteArray> *link, const char *what)
{
    const QJsonArray pair = value.toArray();
    if (!value.isArray() || pair.size() != 2 || !pair[0].isString() || !pair[1].isString())
        return fail(
            where, QStringLiteral("a %1 is a pair of two serial numbers").arg(QLatin1String(what)));
    link->first = pair[0].toString().toLatin1();
    link->second = pair[1].toString().toLatin1();
    if (qstrcmp(what, "link") == 0 && link->first == link->second)
        return fail(where, QStringLiteral("a device cannot be linked to itself"));
    return true;
}

bool ScenarioParser::checkReferences(const SimScenario &scenario)
{
    QSet<QByteArray> known;
    for (int i = 0; i < scenario.devices.size(); ++i) {
        if (known.contains(scenario.devices[i].serial))
            return fail(entry("devices", i),
                        QStringLiteral("serial \"%1\" appears twice")
                            .arg(QString::fromLatin1(scenario.devices[i].serial)));
        known.insert(scenario.devices[i].serial);
    }
    for (const SimFault &fault : scenario.faults) {
        if (fault.plug)
            known.insert(fault.plug->serial);
    }
    auto unknown = [&](const QByteArray &serial) { return !known.contains(serial); };

    QSet<QByteArray> linked;
    for (int i = 0; i < scenario.links.size(); ++i) {
        for (const QByteArray &serial : { scenario.links[i].first, scenario.links[i].second }) {
            if (unknown(serial))
                return fail(
                    entry("links", i),
                    QStringLiteral("unknown device \"%1\"").arg(QString::fromLatin1(serial)));
            if (linked.contains(serial))
                return fail(entry("links", i),
                            QStringLiteral("device \"%1\" is linked twice")
                                .arg(QString::fromLatin1(serial)));
            linked.insert(serial);
        }
    }
    for (int i = 0; i < scenario.wires.size(); ++i) {
        for (const QByteArray &serial : { scenario.wires[i].first, scenario.wires[i].second }) {
            if (unknown(serial))
                return fail(
                    entry("wires", i),
                    QStringLiteral("unknown device \"%1\"").arg(QString::fromLatin1(serial)));
        }
    }
    QSet<quint32> locations;
    for (int i = 0; i < scenario.devices.size(); ++i) {
        const quint32 location = scenario.devices[i].location;
        if (location != 0 && locations.contains(location))
            return fail(entry("devices", i),
                        QStringLiteral("location %1 appears twice").arg(location));
        locations.insert(location);
    }
    for (int i = 0; i < scenario.faults.size(); ++i) {
        const SimFault &fault = scenario.faults[i];
        for (const QByteArray &serial : { fault.serial, fault.unplug }) {
            if (!serial.isEmpty() && unknown(serial))
                return fail(
                    entry("faults", i),
                    QStringLiteral("unknown device \"%1\"").arg(QString::fromLatin1(serial)));
        }
    }
    return true;
}

bool ScenarioParser::parse(const QJsonObject &root, SimScenario *scenario)
{
    if (!checkKeys(root, QStringLiteral("scenario"),
                   { "realTime", "devices", "links", "wires", "faults" })
        || !readBool(root, "realTime", QStringLiteral("scenario"), &scenario->realTime))
        return false;
    struct List {
        const char *name;
        std::function<bool(const QJsonValue &, const QString &)> read;
    };
    const List lists[] = {
        { "devices",
          [&](const QJsonValue &v, const QString &where) {
              SimDeviceSpec device;
              return readDevice(v, where, &device) && (scenario->devices.append(device), true);
          } },
        { "links",
          [&](const QJsonValue &v, const QString &where) {
              QPair<QByteArray, QByteArray> link;
              return readLink(v, where, &link) && (scenario->links.append(link), true);
          } },
        { "wires",
          [&](const QJsonValue &v, const QString &where) {
              QPair<QByteArray, QByteArray> wire;
              return readLink(v, where, &wire, "wire") && (scenario->wires.append(wire), true);
          } },
        { "faults",
          [&](const QJsonValue &v, const QString &where) {
              SimFault fault;
              return readFault(v, where, &fault) && (scenario->faults.append(fault), true);
          } },
    };
    for (const List &list : lists) {
        const QJsonValue value = root.value(QLatin1String(list.name));
        if (value.isUndefined())
            continue;
        if (!value.isArray())
            return fail(QLatin1String(list.name), QStringLiteral("must be an array"));
        const QJsonArray array = value.toArray();
        for (int i = 0; i < array.size(); ++i) {
            if (!list.read(array[i], entry(list.name, i)))
                return false;
        }
    }
    return checkReferences(*scenario);
}

} // namespace

bool parseSimScenario(const QByteArray &json, SimScenario *scenario, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("scenario: must be a JSON object");
        return false;
    }
    SimScenario parsed;
    ScenarioParser parser;
    if (!parser.parse(document.object(), &parsed)) {
        *error = parser.error;
        return false;
    }
    *scenario = parsed;
    return true;
}

bool loadSimScenario(const QString &path, SimScenario *scenario, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!parseSimScenario(file.readAll(), scenario, error)) {
        *error = path + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

QJsonObject simEepromToJson(const SimEeprom &eeprom)
{
    QJsonObject object {
        { QStringLiteral("manufacturer"), QString::fromLatin1(eeprom.manufacturer) },
        { QStringLiteral("manufacturerId"), QString::fromLatin1(eeprom.manufacturerId) },
        { QStringLiteral("description"), QString::fromLatin1(eeprom.description) },
        { QStringLiteral("serialNumber"), QString::fromLatin1(eeprom.serialNumber) },
    };
    for (const EepromNumericField &field : eepromNumericFields())
        object.insert(QLatin1String(field.name), qint64(field.get(eeprom.settings)));
    return object;
}

QByteArray dumpSimEeproms(const SimulatedDeviceLibrary &library)
{
    QJsonArray devices;
    for (const QByteArray &serial : library.serials()) {
        devices.append(QJsonObject {
            { QStringLiteral("serial"), QString::fromLatin1(serial) },
            { QStringLiteral("attached"), library.isAttached(serial) },
            { QStringLiteral("eeprom"), simEepromToJson(*library.eeprom(serial)) },
        });
    }
    const QJsonObject dump { { QStringLiteral("devices"), devices },
                             { QStringLiteral("openHandles"), library.openHandleCount() } };
    return QJsonDocument(dump).toJson();
}
