"""Starts the localisation node with the package's vehicle configuration.

    ros2 launch localization_pkg localisation.launch.py
    ros2 launch localization_pkg localisation.launch.py ukf_config:=/path/to/config.json
"""

import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node


def generate_launch_description():
    default_config = os.path.join(
        get_package_share_directory('localization_pkg'), 'config', 'localisation_config.json')
    return LaunchDescription([
        DeclareLaunchArgument('ukf_config', default_value=default_config,
                              description='Filter configuration file (JSON)'),
        DeclareLaunchArgument('max_time_jump', default_value='60.0',
                              description='Stamp jump (s) that restarts the filter'),
        Node(
            package='localization_pkg',
            executable='localization_node',
            name='localisation_node',
            output='screen',
            parameters=[{
                'ukf_config': LaunchConfiguration('ukf_config'),
                'max_time_jump': LaunchConfiguration('max_time_jump'),
            }],
        ),
    ])
