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
        <translation>Подключение...</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>Устройство не подключено или не переведено в режим обновления по инструкции</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>The firmware entry of the catalogue is not valid!</source>
        <translation>Запись прошивки в каталоге недействительна!</translation>
    </message>
    <message>
        <source>The firmware could not be downloaded!</source>
        <translation>Не удалось загрузить прошивку!</translation>
    </message>
    <message>
        <source>The downloaded firmware is damaged!</source>
        <translation>Загруженная прошивка повреждена!</translation>
    </message>
    <message>
        <source>The firmware could not be saved!</source>
        <translation>Не удалось сохранить прошивку!</translation>
    </message>
    <message>
        <source>The firmware catalogue could not be read!</source>
        <translation>Не удалось прочитать каталог прошивок!</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>Недопустимая версия прошивки!</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</source>
        <translation>Адаптер найден, но его не удаётся открыть: нет доступа к %1. Установите пакет %2 — его правило udev даёт пользователю этого компьютера доступ к адаптерам, — и снова подключите адаптер.</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</source>
        <translation>Адаптер найден, но его не удаётся открыть: нет доступа к %1, хотя правило udev %2 установлено. Оно даёт доступ только пользователю, который сидит за экраном и клавиатурой этого компьютера. Если это вы, выполните «%3» и снова подключите адаптер.</translation>
    </message>
</context>
<context>
    <name>FirmwareUpgrader</name>
    <message>
        <source>Firmware lost</source>
        <translation>Прошивка утеряна! Обновите прошивку!</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>ОК</translation>
    </message>
    <message>
        <source>Restore Default</source>
        <translation>Сброс до заводских настроек</translation>
    </message>
    <message>
        <source>SN: </source>
        <translation>Серийный номер: </translation>
    </message>
    <message>
        <source>The data will be erased and then restore default!</source>
        <translation>Всё будет стёрто и сброшено!</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>Обновить прошивку</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>Boot Mode</source>
        <translation>Режим загрузки</translation>
    </message>
    <message>
        <source>Data Backup</source>
        <translation>Резервное копирование</translation>
    </message>
    <message>
        <source>Data Restore</source>
        <translation>Восстановление данных</translation>
    </message>
    <message>
        <source>LOCAL</source>
        <translation>ФАЙЛ</translation>
    </message>
    <message>
        <source>New Version</source>
        <translation>Новая версия</translation>
    </message>
    <message>
        <source>OTA</source>
        <translation>OTA</translation>
    </message>
</context>
<context>
    <name>GuideStart</name>
    <message>
        <source>Connect Brivane T5 to PC while holding the button.
Release the button until the LED indicator is stable green.</source>
        <translation>1. Удерживая кнопку, подключите Brivane T5 к компьютеру.
2. Отпустите кнопку, когда индикатор загорится ровным зелёным светом.</translation>
    </message>
    <message>
        <source>Connect Brivane M7 to PC while holding the button
Release the button until the LED indicator is stable green.</source>
        <translation>1. Удерживая кнопку, подключите Brivane M7 к компьютеру.
2. Отпустите кнопку, когда индикатор загорится ровным зелёным светом.</translation>
    </message>
    <message>
        <source>Connect Brivane K3 to PC auto into upgrade mode.</source>
        <translation>Подключите Brivane K3 к компьютеру: он сам перейдёт в режим обновления.</translation>
    </message>
    <message>
        <source>Quick start guide</source>
        <translation>Краткое руководство</translation>
    </message>
    <message>
        <source>Select product</source>
        <translation>Выберите продукт</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>Далее</translation>
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
        <translation>Обновление выполнено!</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>Недопустимый файл!</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Недопустимый файл!</translation>
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
        <translation>Обновление выполнено!</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Ошибка контрольной суммы MD5 файла!</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>Недопустимый файл!</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Недопустимый файл!</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>Japanese</source>
        <translation>日本語</translation>
    </message>
    <message>
        <source>Russian</source>
        <translation>русский</translation>
    </message>
    <message>
        <source>French</source>
        <translation>Français</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Назад</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brivane Firmware is already running!</source>
        <translation>Программа Brivane Firmware Tool уже запущена!</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>Недопустимый файл!</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>Недопустимый файл!</translation>
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
