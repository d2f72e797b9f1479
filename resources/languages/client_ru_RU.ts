<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>FirmwareManage</name>
    <message>
        <source>Brivane data backup</source>
        <translation>Резервная копия данных</translation>
    </message>
    <message>
        <source>Brivane data restore</source>
        <translation>Восстановление данных</translation>
    </message>
    <message>
        <source>The device is connecting...</source>
        <translation>Подключение</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>Устройство Brivane не найдено</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Ошибка стирания!</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Ошибка обновления!</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Обновление выполнено</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>Неверный файл</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Неверный файл</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Ошибка стирания!</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Ошибка обновления!</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Обновление выполнено</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Ошибка (MD5)</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>Неверный файл</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Неверный файл</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>Неверный файл</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>Неверный файл</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>Ошибка резервного копирования!</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>Ошибка стирания!</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>Ошибка восстановления данных!</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>Ошибка проверки записи!</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>Ошибка записи!</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>Прошивка утеряна!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>Не удалось прочитать настройки адаптера!</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>Прошивка слишком велика для адаптера!</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>Файл резервной копии пуст или не читается!</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>Сначала обновите прошивку адаптера до версии 5.5.0 или новее!</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>Файл резервной копии содержит повреждённые данные!</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>Не удалось полностью прочитать адаптер!</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>Подключён другой адаптер; проверьте адаптер и повторите попытку!</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>Этот файл не является прошивкой для данного адаптера!</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>Недопустимая версия прошивки!</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>Не удалось сохранить настройки на этом компьютере; ничего не записано!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were restored from the copy saved on %1.</source>
        <translation>Настройки адаптера восстановлены из копии, сохранённой %1.</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</source>
        <translation>Настройки адаптера повреждены. При следующем обновлении будет записана копия, сохранённая %1.</translation>
    </message>
    <message>
        <source>No saved settings of this adapter were found!</source>
        <translation>Сохранённые настройки этого адаптера не найдены!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>Настройки адаптера были утеряны; записаны заводские настройки.</translation>
    </message>
</context>
</TS>
