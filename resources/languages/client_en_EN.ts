<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_EN">
<context>
    <name>FirmwareManage</name>
    <message>
        <source>Brivane data backup</source>
        <translation>Data Backup</translation>
    </message>
    <message>
        <source>Brivane data restore</source>
        <translation>Data Restore</translation>
    </message>
    <message>
        <source>The device is connecting...</source>
        <translation>connecting</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>No Brivane Device found</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>The firmware entry of the catalogue is not valid!</source>
        <translation>The firmware entry of the catalogue is not valid!</translation>
    </message>
    <message>
        <source>The firmware could not be downloaded!</source>
        <translation>The firmware could not be downloaded!</translation>
    </message>
    <message>
        <source>The downloaded firmware is damaged!</source>
        <translation>The downloaded firmware is damaged!</translation>
    </message>
    <message>
        <source>The firmware could not be saved!</source>
        <translation>The firmware could not be saved!</translation>
    </message>
    <message>
        <source>The firmware catalogue could not be read!</source>
        <translation>The firmware catalogue could not be read!</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>The firmware version is not valid!</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</source>
        <translation>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</source>
        <translation>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</translation>
    </message>
</context>
<context>
    <name>FirmwareUpgrader</name>
    <message>
        <source>Firmware lost</source>
        <translation>Firmware lost! Please update firmware!</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Restore Default</source>
        <translation>Update&amp;&amp;Erase</translation>
    </message>
    <message>
        <source>SN: </source>
        <translation>SN:</translation>
    </message>
    <message>
        <source>The data will be erased and then restore default!</source>
        <translation>Erase all data?</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Boot Mode</source>
        <translation>Boot Mode</translation>
    </message>
    <message>
        <source>Data Backup</source>
        <translation>Data Backup</translation>
    </message>
    <message>
        <source>Data Restore</source>
        <translation>Data Restore</translation>
    </message>
    <message>
        <source>LOCAL</source>
        <translation>LOCAL</translation>
    </message>
    <message>
        <source>New Version</source>
        <translation>New Version</translation>
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
        <translation>1. connect Brivane T5 to PC while holding the button
2. release the button until the LED indicator is stable green</translation>
    </message>
    <message>
        <source>Connect Brivane M7 to PC while holding the button
Release the button until the LED indicator is stable green.</source>
        <translation>1. connect Brivane M7 to PC while holding the button
2. release the button until the LED indicator is stable green</translation>
    </message>
    <message>
        <source>Connect Brivane K3 to PC auto into upgrade mode.</source>
        <translation>Plug Brivane K3 into PC</translation>
    </message>
    <message>
        <source>Quick start guide</source>
        <translation>Instructions</translation>
    </message>
    <message>
        <source>Select product</source>
        <translation>Product</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>Enter</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Update successfully</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>invalid file</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Update successfully</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Error(MD5)</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>invalid file</translation>
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
        <translation>Back</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brivane Firmware is already running!</source>
        <translation>Brivane Firmware Tool is running</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>Firmware lost!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>The adapter&apos;s settings could not be read!</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>The firmware is too large for the adapter!</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>The backup file is empty or cannot be read!</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>Update the adapter to firmware 5.5.0 or later first!</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>The backup file holds damaged data!</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>The adapter could not be read completely!</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>Another adapter was plugged in; check the adapter and try again!</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>The file is not a firmware for this adapter!</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>The firmware version is not valid!</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>The settings could not be saved on this computer; nothing was written!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were restored from the copy saved on %1.</source>
        <translation>The adapter&apos;s settings were restored from the copy saved on %1.</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</source>
        <translation>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</translation>
    </message>
    <message>
        <source>No saved settings of this adapter were found!</source>
        <translation>No saved settings of this adapter were found!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>The adapter&apos;s settings were lost; factory settings were written.</translation>
    </message>
</context>
</TS>
